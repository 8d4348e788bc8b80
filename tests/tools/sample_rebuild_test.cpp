// The checked-in sample containers rebuild from their manifests to the same
// bytes: the builder still lays a container out as it did when they were made.
#include <gtest/gtest.h>

#include <string>

#include "pack_test_support.h"
#include "tools/container_builder.h"

namespace {

using pack_test::Bytes;

TEST(SampleRebuild, ManifestsBuildTheCheckedInContainers)
{
    const std::string dir = std::string(TESSALY_TEST_DATA) + "/containers/";
    for (const char* name : {"v3-block", "v3-plain", "v1"}) {
        SCOPED_TRACE(name);
        ContainerSpec spec;
        std::string error;
        ASSERT_TRUE(ContainerBuilder_fromManifest(dir + name + ".json", &spec, &error)) << error;
        Bytes built;
        ASSERT_TRUE(ContainerBuilder_build(spec, &built, &error)) << error;
        const Bytes frozen = test_support::readBytes(dir + name + ".dzr");
        ASSERT_FALSE(frozen.empty());
        EXPECT_TRUE(built == frozen) << "rebuilt " << built.size() << " bytes, checked in " << frozen.size();
    }
}

} // namespace
