# Cross-builds for macOS on Linux with Debian's clang 16, ld64.lld 16 and
# libc++ 16's headers, against the SDK that scripts/macos-sdk.sh names
# ($KV_MACOS_SDK, else ../shared/macos-sdk/MacOSX13.3.sdk). KV_MACOS_ARCH
# (arm64 or x86_64) picks the architecture. Nothing built here runs on this
# machine; the build proves that the macOS code compiles and links.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 22.4)  # macOS 13.3
if(NOT KV_MACOS_ARCH)
  set(KV_MACOS_ARCH arm64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${KV_MACOS_ARCH})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KV_MACOS_ARCH)
set(CMAKE_OSX_ARCHITECTURES ${KV_MACOS_ARCH} CACHE STRING "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET 13.0 CACHE STRING "" FORCE)

execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/macos-sdk.sh"
                OUTPUT_VARIABLE kv_sdk OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE kv_sdk_found)
if(NOT kv_sdk_found EQUAL 0 OR NOT kv_sdk)
  message(FATAL_ERROR "no macOS SDK: set KV_MACOS_SDK or put one at ../shared/macos-sdk/MacOSX13.3.sdk")
endif()
set(CMAKE_OSX_SYSROOT "${kv_sdk}" CACHE PATH "" FORCE)

set(kv_triple ${KV_MACOS_ARCH}-apple-macos13)
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_C_COMPILER_TARGET ${kv_triple})
set(CMAKE_CXX_COMPILER_TARGET ${kv_triple})
# libc++ 16's headers from Debian, not the SDK's (written for Apple's clang);
# the SDK's libc++.tbd is what links. -mlinker-version makes clang pass the
# -platform_version that ld64.lld wants.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++ -nostdinc++ -isystem /usr/lib/llvm-16/include/c++/v1")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -mlinker-version=711 -Wno-unused-command-line-argument")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -mlinker-version=711 -Wno-unused-command-line-argument")

# nlohmann/json is header-only; its headers are reached through a folder that
# holds nothing else, so the host's /usr/include never joins the search path.
set(kv_json_dir "${CMAKE_BINARY_DIR}/kv-nlohmann-include")
if(NOT EXISTS "${kv_json_dir}/nlohmann")
  file(MAKE_DIRECTORY "${kv_json_dir}")
  file(CREATE_LINK /usr/include/nlohmann "${kv_json_dir}/nlohmann" SYMBOLIC)
endif()
set(KV_NLOHMANN_JSON_INCLUDE_DIR "${kv_json_dir}" CACHE PATH "" FORCE)

# Libraries and headers come from the SDK only.
set(CMAKE_FIND_ROOT_PATH "${kv_sdk}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
