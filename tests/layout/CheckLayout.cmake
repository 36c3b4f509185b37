# The folders of src/ form a stack: a source file may include headers of its
# own folder and of the folders below it, never of one above. Only
# src/platform/ reads the environment (getenv): anywhere else it fails,
# except in the files listed in ENVIRONMENT_READERS, each still to hand its
# values over to the platform's start-up configuration (PlatformConfig);
# the list only shrinks. Outside platform/sim/ only cli/ includes the
# simulated desktop (platform/sim/, its own library). Within core/, the
# engine's parts talk to it through their own interfaces: only the engine's
# files (MirrorEngine*.cpp) include core/MirrorEngine.h, and the pure
# decision units (PURE_UNITS) include nothing but config/ and the standard
# library. Run as
#   cmake -DSOURCE_DIR=<repo>/src -P CheckLayout.cmake
# and fails listing every include that breaks the order.

# Bottom first.
set(LAYERS config runtime diagnostics platform transport host device pipeline session core control cli)

if(NOT SOURCE_DIR)
    message(FATAL_ERROR "SOURCE_DIR not set")
endif()

set(ENVIRONMENT_READERS
    cli/Daemon.cpp cli/UserService.cpp device/ADBBridge.cpp diagnostics/PlatformLog.cpp pipeline/RowSplitter.cpp)

# Decisions without plumbing: no runtime, no platform, no sessions.
set(PURE_UNITS core/DeviceEvents core/ResumeState core/StatsAggregation)

set(violations "")
set(unknown "")
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
foreach(file IN LISTS files)
    string(REGEX MATCH "^[^/]+" folder "${file}")
    list(FIND LAYERS "${folder}" rank)
    if(rank EQUAL -1)
        list(APPEND unknown "${folder}")
        continue()
    endif()
    if(NOT folder STREQUAL "platform")
        file(STRINGS ${SOURCE_DIR}/${file} reads REGEX "(^|[^A-Za-z0-9_])(secure_)?getenv[ \t]*\\(")
        list(FIND ENVIRONMENT_READERS "${file}" listed)
        if(reads AND listed EQUAL -1)
            string(APPEND violations "\n  src/${file}: reads the environment (only src/platform/ may)")
        endif()
    endif()
    file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[^\"]+\"")
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" header "${line}")
        if(NOT header MATCHES "/")
            continue()
        endif()
        # The simulated desktop is a library of its own (qb_platform_sim) that
        # only the command line offers, by name: the engine never reaches it.
        if(header MATCHES "^platform/sim/" AND NOT file MATCHES "^(platform/sim|cli)/")
            string(APPEND violations "\n  src/${file}: includes \"${header}\" (only cli/ may offer the simulated desktop)")
        endif()
        string(REGEX MATCH "^[^/]+" target "${header}")
        list(FIND LAYERS "${target}" targetRank)
        if(targetRank EQUAL -1)
            continue() # a system or tool header
        endif()
        if(targetRank GREATER rank)
            string(APPEND violations "\n  src/${file}: includes \"${header}\" (${target} is above ${folder})")
        endif()
        if(folder STREQUAL "core" AND header STREQUAL "core/MirrorEngine.h" AND NOT file MATCHES "^core/MirrorEngine[A-Za-z]*\\.cpp$")
            string(APPEND violations "\n  src/${file}: includes the engine (a part of it talks through its own interface)")
        endif()
        string(REGEX REPLACE "\\.(h|cpp)$" "" unit "${file}")
        list(FIND PURE_UNITS "${unit}" pure)
        if(NOT pure EQUAL -1 AND NOT target STREQUAL "config" AND NOT header STREQUAL "${unit}.h")
            string(APPEND violations "\n  src/${file}: includes \"${header}\" (a pure unit includes only config/)")
        endif()
    endforeach()
endforeach()

if(unknown)
    list(REMOVE_DUPLICATES unknown)
    message(FATAL_ERROR "folders of src/ missing from the layer list in CheckLayout.cmake: ${unknown}")
endif()
if(violations)
    message(FATAL_ERROR "layout broken (layers bottom first: ${LAYERS}):${violations}")
endif()
message(STATUS "layout: every include goes down the stack; only src/platform/ reads the environment; the engine's parts and pure units keep to their own")
