// tessaly-pack: builds update containers from manifests, and writes the
// sample package set.
//
//   tessaly-pack build MANIFEST.json -o OUT.dzr
//   tessaly-pack sample DIR
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/command_line.h"
#include "tools/container_builder.h"
#include "tools/sample_packages.h"

namespace {

int runBuild(const std::string& manifest, const std::string& output)
{
    ContainerSpec spec;
    std::string error;
    if (!ContainerBuilder_fromManifest(manifest, &spec, &error)) {
        std::fprintf(stderr, "tessaly-pack: %s\n", error.c_str());
        return 1;
    }
    if (!ContainerBuilder_writeFile(spec, output, &error)) {
        std::fprintf(stderr, "tessaly-pack: %s: %s\n", manifest.c_str(), error.c_str());
        return 1;
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(output, ec);
    std::printf("%s: %llu bytes\n", output.c_str(), static_cast<unsigned long long>(ec ? 0 : size));
    return 0;
}

int runSample(const std::string& dir)
{
    std::vector<SampleFile> written;
    std::string error;
    const bool ok = SamplePackages_write(dir, &written, &error);
    uint64_t total = 0;
    for (const SampleFile& f : written) {
        std::printf("%10llu  %s/%s\n", static_cast<unsigned long long>(f.size), dir.c_str(), f.name.c_str());
        total += f.size;
    }
    if (!ok) {
        std::fprintf(stderr, "tessaly-pack: %s\n", error.c_str());
        return 1;
    }
    std::printf("%10llu  total, %zu files\n", static_cast<unsigned long long>(total), written.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Builds Tessaly update containers (.dzr)", "tessaly-pack"};
    app.require_subcommand(1);

    std::string manifest, output;
    CLI::App* build = app.add_subcommand("build", "Build a container from a JSON manifest");
    build->add_option("manifest", manifest, "Manifest file (see docs/container-manifest.md)")->required();
    build->add_option("-o,--output", output, "Container file to write")->required();

    std::string dir;
    CLI::App* sample = app.add_subcommand("sample", "Write the sample packages, manifests and data files");
    sample->add_option("dir", dir, "Folder to write into (created when missing)")->required();

    CommandLine_addVersion(app, "tessaly-pack");
    if (int status = CommandLine_parse(app, "tessaly-pack", argc, argv); status >= 0) return status;
    if (*build) return runBuild(manifest, output);
    return runSample(dir);
}
