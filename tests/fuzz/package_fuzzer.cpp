// libFuzzer target over the packer's package reading: arbitrary bytes as the attached-data block of a
// package (wrapped into a minimal launcher image) or as a whole file, read, verified and listed.
// Built with TAVRIN_FUZZ_SEEDS, the same file is a small program that writes seed inputs instead.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "packer/archive/inspect.h"
#include "packer/cli/report.h"
#include "packer/image/pe_image.h"
#include "tests/support/packer_fixtures.h"

namespace {
namespace fs = std::filesystem;

// An input's first byte picks what the rest is: even, an attached-data block; odd, a whole file.
enum : std::uint8_t { as_block = 0, as_file = 1 };

void write_bytes(const fs::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_bytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

#ifndef TAVRIN_FUZZ_SEEDS

// Reads the input as tavrin-pack verify and list do. Damage and unreadable input end in
// package_error / pack_error; anything else that escapes, and every sanitizer report, is a finding.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    // The package of the input at hand, one file per process, removed when the process exits normally.
    static const struct scratch_file {
        fs::path path = fs::temp_directory_path() / ("tavrin-fuzz-" + std::to_string(getpid()) + ".exe");
        ~scratch_file()
        {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    } scratch;
    const fs::path& file = scratch.path;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    write_bytes(file, (data[0] & 1) == as_file ? rest : packer_test::image_with_block(rest));

    try {
        // verify_package reads the package through read_package, and keeps what it read when damaged.
        tavrin::verify_report report = tavrin::verify_package(file);
        (void)tavrin::package_listing(report.contents, report.ok());
        if (report.ok()) (void)tavrin::verify_summary(file, report);
    } catch (const tavrin::pack_error&) {
    }
    return 0;
}

#else

// package_fuzz_seeds OUT_DIR BLOCK...: for each block, a seed that is the block and one that is the
// whole package around it.
int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR BLOCK...\n", argv[0]);
        return 2;
    }
    fs::path out = argv[1];
    fs::create_directories(out);
    for (int i = 2; i < argc; ++i) {
        fs::path block_file = argv[i];
        std::string block = read_bytes(block_file);
        if (block.empty()) continue;
        std::string stem = block_file.stem().string();
        write_bytes(out / (stem + ".block"), std::string(1, char(as_block)) + block);
        write_bytes(out / (stem + ".exe"), std::string(1, char(as_file)) + packer_test::image_with_block(block));
    }
    return 0;
}

#endif
