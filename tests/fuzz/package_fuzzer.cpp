// libFuzzer target over the packer's package reading: arbitrary bytes as the attached-data block of a
// package (wrapped into a minimal launcher image) or as a whole file, read, verified and listed.
// Built with TAVRIN_FUZZ_SEEDS, the same file is a small program that writes seed inputs instead.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "packer/inspect.h"
#include "packer/pe_image.h"
#include "packer/report.h"

namespace {
namespace fs = std::filesystem;

// An input's first byte picks what the rest is: even, an attached-data block; odd, a whole file.
enum : std::uint8_t { as_block = 0, as_file = 1 };

void put(std::string& bytes, std::size_t at, std::uint64_t value, int size)
{
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A PE32+ executable for x86-64 that a section can be added to: 0x200 bytes of headers (room for a
// second section header after the first) and one code section of 0x200 bytes.
std::string launcher_stub()
{
    std::string image(0x400, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put(image, 0x3C, 0x40, 4);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    put(image, 0x44, 0x8664, 2);  // machine
    put(image, 0x46, 1, 2);       // sections
    put(image, 0x54, 240, 2);     // optional header size
    put(image, 0x56, 0x0022, 2);  // executable, large-address aware
    const std::size_t optional = 0x58;
    put(image, optional, 0x20B, 2);
    put(image, optional + 24, 0x140000000, 8);  // image base
    put(image, optional + 32, 0x1000, 4);       // section alignment
    put(image, optional + 36, 0x200, 4);        // file alignment
    put(image, optional + 56, 0x2000, 4);       // size of image
    put(image, optional + 60, 0x200, 4);        // size of headers
    put(image, optional + 68, 3, 2);            // console subsystem
    put(image, optional + 108, 16, 4);          // directories
    const std::size_t section = optional + 240;
    image.replace(section, 5, ".text");
    put(image, section + 8, 0x200, 4);   // virtual size
    put(image, section + 12, 0x1000, 4); // virtual address
    put(image, section + 16, 0x200, 4);  // raw size
    put(image, section + 20, 0x200, 4);  // raw offset
    put(image, section + 36, 0x60000020, 4);
    image[0x200] = '\xC3';  // ret
    return image;
}

// The stub with `block` as its attached-data section; `block` must not be empty.
std::string package_around(const std::string& block)
{
    static const std::string stub = launcher_stub();
    static const tavrin::pe_headers headers = [] {
        std::istringstream in(stub);
        return tavrin::read_pe_headers(in, "stub");
    }();
    std::istringstream launcher(stub);
    std::ostringstream out;
    tavrin::write_image_with_section(launcher, headers, out, [&](std::ostream& section) {
        section.write(block.data(), static_cast<std::streamsize>(block.size()));
    });
    return out.str();
}

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
    write_bytes(file, (data[0] & 1) == as_file ? rest : package_around(rest));

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
        write_bytes(out / (stem + ".exe"), std::string(1, char(as_file)) + package_around(block));
    }
    return 0;
}

#endif
