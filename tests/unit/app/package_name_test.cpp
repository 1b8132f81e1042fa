// What the host reads from package file names: the plugin name and the version check.
#include "plugins/package_name.h"

#include <gtest/gtest.h>

namespace {

wxFileName package(const char* name)
{
    return wxFileName(wxString("/opt/agent/") + name);
}

bool versionAccepted(const char* name)
{
    return packageVersionIsCore(package(name).GetName());
}

TEST(PackageName, PluginNameIsTheSecondField)
{
    EXPECT_EQ(getPluginName(package("Base-Foo-10.0.0-1234.x86_64.vkp")), "Foo");
    EXPECT_EQ(getPluginName(package("Base-Foo-9.5.0-1234.x86_64.vkp")), "Foo");
    EXPECT_EQ(getPluginName(package("x-y-10.0.0.vkp")), "y");
}

TEST(PackageName, PluginNameOfNamesWithFewSeparators)
{
    EXPECT_EQ(getPluginName(package("foo.vkp")), "foo");
    EXPECT_EQ(getPluginName(package("a-b.vkp")), "b");
    // Only the last extension is dropped before the name is read.
    EXPECT_EQ(getPluginName(package("a-b.c.vku")), "b.c");
    EXPECT_EQ(getPluginName(package("a--b-10.0.0-1.s.vkp")), "");
}

TEST(PackageName, WellFormedNamesCarryingTheCoreVersionAreAccepted)
{
    EXPECT_TRUE(versionAccepted("Base-Foo-10.0.0-1234.x86_64.vkp"));
    // The build number is never compared.
    EXPECT_TRUE(versionAccepted("Base-Foo-10.0.0-0.x86_64.vkp"));
    EXPECT_TRUE(versionAccepted("a--b-10.0.0-1.s.vkp"));
}

TEST(PackageName, OtherVersionTextsAreRejected)
{
    EXPECT_FALSE(versionAccepted("Base-Foo-9.5.0-1234.x86_64.vkp"));
    EXPECT_FALSE(versionAccepted("Base-Foo-10.0.1-1234.x86_64.vkp"));
    // Compared as text, not as numbers.
    EXPECT_FALSE(versionAccepted("Base-Foo-10.0.00-1234.x86_64.vkp"));
    EXPECT_FALSE(versionAccepted("Base-Foo-10.0-1234.x86_64.vkp"));
    // Without a suffix the fields shift: the version text becomes the plugin name.
    EXPECT_FALSE(versionAccepted("Base-Foo-10.0.0-1234.vkp"));
    EXPECT_FALSE(versionAccepted("x-y-10.0.0.vkp"));
}

TEST(PackageName, NamesWithoutVersionSeparatorsAreAccepted)
{
    EXPECT_TRUE(versionAccepted("foo.vkp"));
    EXPECT_TRUE(versionAccepted("a-b.vkp"));
    EXPECT_TRUE(versionAccepted("ab.c.vkp"));
    EXPECT_TRUE(versionAccepted("a-b.c.vkp"));
    // A "-" that ends the remaining text frames no version.
    EXPECT_TRUE(versionAccepted("a--1.s.vkp"));
}

}  // namespace
