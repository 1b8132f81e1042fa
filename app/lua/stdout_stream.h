#pragma once
// The process's standard output as a framework output stream that does not own it.

#include <wx/ffile.h>
#include <wx/wfstream.h>

#include <cstdio>

/// Wraps stdout for the lifetime of the object; stdout stays open afterwards.
class CStdoutStream {
public:
    CStdoutStream() : m_file(stdout), m_stream(m_file) {}
    ~CStdoutStream()
    {
        m_stream.Sync();
        // The framework file would otherwise close stdout when it is destroyed.
        m_file.Detach();
    }
    CStdoutStream(const CStdoutStream&) = delete;
    CStdoutStream& operator=(const CStdoutStream&) = delete;

    wxOutputStream& Stream() { return m_stream; }

private:
    wxFFile m_file;
    wxFFileOutputStream m_stream;
};
