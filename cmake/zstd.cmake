# Zstandard. Host: Debian's libzstd-dev. Windows: two static builds from Debian's source package,
# which scripts/setup.sh downloads into third_party/zstd/src:
#   zstd_decompress - decompression only, no legacy formats, for the launcher;
#   zstd_full       - compression with worker threads and decompression, for the packer and tests.
if(NOT WIN32)
    find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
    find_library(ZSTD_LIBRARY zstd REQUIRED)
    add_library(zstd_full INTERFACE)
    target_include_directories(zstd_full INTERFACE ${ZSTD_INCLUDE_DIR})
    target_link_libraries(zstd_full INTERFACE ${ZSTD_LIBRARY})
    return()
endif()

set(TAVRIN_ZSTD_SOURCE_DIR "${PROJECT_SOURCE_DIR}/third_party/zstd/src" CACHE PATH "Debian's zstd source tree")
if(NOT EXISTS "${TAVRIN_ZSTD_SOURCE_DIR}/lib/zstd.h")
    message(FATAL_ERROR "zstd source not found in ${TAVRIN_ZSTD_SOURCE_DIR}: run scripts/setup.sh first")
endif()
set(zlib "${TAVRIN_ZSTD_SOURCE_DIR}/lib")
set(TAVRIN_ZSTD_INCLUDE_DIR "${zlib}")

set(zstd_common_sources
    ${zlib}/common/debug.c ${zlib}/common/entropy_common.c ${zlib}/common/error_private.c
    ${zlib}/common/fse_decompress.c ${zlib}/common/pool.c ${zlib}/common/threading.c
    ${zlib}/common/xxhash.c ${zlib}/common/zstd_common.c)
set(zstd_decompress_sources
    ${zlib}/decompress/huf_decompress.c ${zlib}/decompress/zstd_ddict.c
    ${zlib}/decompress/zstd_decompress.c ${zlib}/decompress/zstd_decompress_block.c)
set(zstd_compress_sources
    ${zlib}/compress/fse_compress.c ${zlib}/compress/hist.c ${zlib}/compress/huf_compress.c
    ${zlib}/compress/zstd_compress.c ${zlib}/compress/zstd_compress_literals.c
    ${zlib}/compress/zstd_compress_sequences.c ${zlib}/compress/zstd_compress_superblock.c
    ${zlib}/compress/zstd_double_fast.c ${zlib}/compress/zstd_fast.c ${zlib}/compress/zstd_lazy.c
    ${zlib}/compress/zstd_ldm.c ${zlib}/compress/zstd_opt.c ${zlib}/compress/zstdmt_compress.c)

# The amd64 assembly of the Huffman decoder is written for ELF targets; the C path is used.
set(zstd_common_definitions ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM XXH_NAMESPACE=ZSTD_)

add_library(zstd_decompress STATIC ${zstd_common_sources} ${zstd_decompress_sources})
target_compile_definitions(zstd_decompress PRIVATE ${zstd_common_definitions} ZSTD_NOBENCH)
target_compile_options(zstd_decompress PRIVATE -O2)
target_include_directories(zstd_decompress SYSTEM PUBLIC ${zlib})

add_library(zstd_full STATIC ${zstd_common_sources} ${zstd_decompress_sources} ${zstd_compress_sources})
target_compile_definitions(zstd_full PRIVATE ${zstd_common_definitions} ZSTD_MULTITHREAD)
target_compile_options(zstd_full PRIVATE -O2)
target_include_directories(zstd_full SYSTEM PUBLIC ${zlib})
