// Package names have the shape prefix-plugin-major.minor.patch-build.suffix; fields never hold
// "-". Names of other shapes are not refused here: the rules below simply yield what they yield.
#include "plugins/package_name.h"

#include "version.h"

wxString getPluginName(const wxFileName& package)
{
    const wxString base = package.GetName();
    const int first = base.Find('-');
    if (first == wxNOT_FOUND)
        return base;
    const wxString rest = base.Mid(first + 1);
    const int second = rest.Find('-');
    if (second == wxNOT_FOUND)
        return rest;
    return rest.Left(second);
}

bool packageVersionIsCore(const wxString& baseName)
{
    // Peel the suffix and then the build number off the end; what follows the "-" before the
    // build is the version text.
    const int dot = baseName.Find('.', true);
    if (dot == wxNOT_FOUND)
        return true;
    const wxString withBuild = baseName.Left(dot);
    const int buildDash = withBuild.Find('-', true);
    if (buildDash == wxNOT_FOUND)
        return true;
    const wxString withVersion = withBuild.Left(buildDash);
    const int versionDash = withVersion.Find('-', true);
    if (versionDash == wxNOT_FOUND || versionDash + 1 == int(withVersion.length()))
        return true;
    // Compared as text, so 10.0.00 or 10.0 are not the core version.
    const wxString core = wxString::Format("%d.%d.%d", kCoreVersionMajor, kCoreVersionMinor, kCoreVersionPatch);
    return withVersion.Mid(versionDash + 1) == core;
}
