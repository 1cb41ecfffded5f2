# The arguments of tavrin_add_onefile that go to tavrin-pack, one list that the function parses and
# passes on and that the host test integration.cmake_options compares with tavrin-pack --help.
# Installed beside TavrinOnefileConfig.cmake, which includes it.
#
# Each item is ARGUMENT:KIND:OPTION. KIND is flag (the option when the argument is given), one (the
# option and its value) or many (the option before each value). The values of ENTRY, OUTPUT_NAME,
# LAUNCHER, ICON and DLL_PATH are made into what the option takes first (the entry target's file
# name, the output's path, paths from the current source directory); the others go as written.
set(TAVRIN_ONEFILE_OPTIONS
    ENTRY:one:--entry
    OUTPUT_NAME:one:--output
    LAUNCHER:one:--launcher
    LEVEL:one:--level
    WINDOW:one:--window
    THREADS:one:--threads
    UNPACK_DIR:one:--unpack-dir
    CACHED:flag:--cached
    NO_PROGRESS:flag:--no-progress
    ALLOW_MISSING:many:--allow-missing
    DLL_PATH:many:--dll-path
    NO_COLLECT:flag:--no-collect
    CONSOLE:flag:--console
    WINDOWS:flag:--windows
    ICON:many:--icon
    COMPANY:one:--company
    PRODUCT:one:--product
    APP_VERSION:one:--app-version
    DESCRIPTION:one:--description
    COPYRIGHT:one:--copyright
    ORIGINAL_FILENAME:one:--original-filename
    MANIFEST_LEVEL:one:--manifest-level)
