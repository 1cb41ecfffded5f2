# tavrin_launcher_image(TARGET): the executable image settings of the launcher (Windows build).
#
#   include(${PROJECT_SOURCE_DIR}/cmake/launcher_image.cmake)
#   tavrin_launcher_image(tavrin-launcher)
#
# TARGET must be an executable whose entry is wWinMain. The function
#   - adds resources/launcher.rc: manifest, version information and icons, all language neutral.
#     The version block is made first from resources/version.rc (windres, then
#     resources/version_block.py) into <current binary dir>/launcher-image/launcher-version.bin;
#   - sets the header through linker options: wide GUI start-up (-municode -mwindows, entry
#     wWinMain), subsystem and OS version 6.0, stack reserve 0x968000 / commit 0x1000, heap
#     1 MiB / 4 KiB, high-entropy ASLR with the base relocations kept, NX, terminal-server aware,
#     no timestamp, no symbols (-s), the runtime linked statically, image base 0x140000000.
#     Large-address aware is the linker's fixed setting for x86-64 images (it has no option there);
#   - clears the header checksum after each link (resources/clear_checksum.py): GNU ld always
#     writes one.
# Needs python3 on the build machine (scripts/setup.sh installs it).

find_program(TAVRIN_PYTHON3 NAMES python3 REQUIRED)

# The header settings that the image checks (tests/image) expect too: they read them from
# TAVRIN_IMAGE_SETTINGS, written here from the same values.
set(TAVRIN_IMAGE_BASE 0x140000000)
set(TAVRIN_IMAGE_STACK 0x968000,0x1000)
set(TAVRIN_IMAGE_HEAP 0x100000,0x1000)
set(TAVRIN_IMAGE_SETTINGS "${CMAKE_BINARY_DIR}/launcher-image-settings.txt")
file(WRITE "${TAVRIN_IMAGE_SETTINGS}"
     "image_base=${TAVRIN_IMAGE_BASE}\n"
     "stack=${TAVRIN_IMAGE_STACK}\n"
     "heap=${TAVRIN_IMAGE_HEAP}\n"
     "manifest=${PROJECT_SOURCE_DIR}/resources/launcher.manifest\n"
     "product=${PROJECT_SOURCE_DIR}/resources/product.h\n")

function(tavrin_launcher_image target)
    set(resources "${PROJECT_SOURCE_DIR}/resources")
    set(generated "${CMAKE_CURRENT_BINARY_DIR}/launcher-image")
    set(version_block "${generated}/launcher-version.bin")

    # One version block per source directory: the .rc file's properties are per directory, so
    # every launcher target of one directory shares them.
    get_property(have_block DIRECTORY PROPERTY tavrin_launcher_version_block SET)
    if(NOT have_block)
        add_custom_command(
            OUTPUT "${version_block}"
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${generated}"
            COMMAND "${CMAKE_RC_COMPILER}" -I "${resources}" -O res
                    "${resources}/version.rc" "${generated}/version.res"
            COMMAND "${TAVRIN_PYTHON3}" "${resources}/version_block.py"
                    "${generated}/version.res" "${version_block}"
            DEPENDS "${resources}/version.rc" "${resources}/product.h"
                    "${resources}/version_block.py"
            COMMENT "Version block of the launcher image"
            VERBATIM)
        set_property(DIRECTORY PROPERTY tavrin_launcher_version_block "${version_block}")
        set(icons "${resources}/icons")
        set_source_files_properties("${resources}/launcher.rc" PROPERTIES
            INCLUDE_DIRECTORIES "${resources};${generated}"
            OBJECT_DEPENDS "${version_block};${resources}/launcher.manifest;${icons}/launcher-16.png;${icons}/launcher-32.png;${icons}/launcher-48.png;${icons}/launcher-64.png;${icons}/launcher-128.png;${icons}/launcher-256.png;${icons}/launcher.icongroup")
    endif()
    target_sources(${target} PRIVATE "${resources}/launcher.rc")

    target_link_options(${target} PRIVATE
        -static
        -municode
        -mwindows
        -s
        "SHELL:-Xlinker --major-subsystem-version -Xlinker 6"
        "SHELL:-Xlinker --minor-subsystem-version -Xlinker 0"
        "SHELL:-Xlinker --major-os-version -Xlinker 6"
        "SHELL:-Xlinker --minor-os-version -Xlinker 0"
        "SHELL:-Xlinker --stack -Xlinker ${TAVRIN_IMAGE_STACK}"
        "SHELL:-Xlinker --heap -Xlinker ${TAVRIN_IMAGE_HEAP}"
        "SHELL:-Xlinker --image-base -Xlinker ${TAVRIN_IMAGE_BASE}"
        "SHELL:-Xlinker --high-entropy-va"
        "SHELL:-Xlinker --dynamicbase"
        "SHELL:-Xlinker --enable-reloc-section"
        "SHELL:-Xlinker --nxcompat"
        "SHELL:-Xlinker --tsaware"
        "SHELL:-Xlinker --no-insert-timestamp")

    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${TAVRIN_PYTHON3}" "${resources}/clear_checksum.py" "$<TARGET_FILE:${target}>"
        VERBATIM)
endfunction()
