# The helper's layout inside the application bundle, for a launch daemon the
# application registers with SMAppService.daemon(plistName:):
#
#   <App>.app/Contents/MacOS/kelmar_vindle_helper
#   <App>.app/Contents/MacOS/kelmar_vindle_decoder   (run by the helper)
#   <App>.app/Contents/Library/LaunchDaemons/<label>.plist
#
# The helper and the decoder it runs go in Contents/MacOS, the bundle's
# directory for helper tools: code signing seals what is there as nested
# code, and the plist's BundleProgram names the helper relative to the
# bundle; the helper runs the decoder from its own folder. The application's
# build copies these files into its own bundle and signs them (nothing is signed
# here; docs/deployment.md says what).
#
# The label is the Mach service the helper serves, fixed in the helper
# (kXpcServiceLabel in helper/src/xpc.hpp). It is read from there rather than
# being a setting, so the plist cannot name a service the helper never checks
# in for.

set(KV_MACOS_APP_BUNDLE_ID "com.kelmar-vindle.app" CACHE STRING
    "Bundle identifier of the application that embeds and registers the helper")
set(KV_MACOS_TEAM_ID "TEAMID1234" CACHE STRING
    "Apple developer team identifier that signs the application (a placeholder until set)")
# Both go into a code-signing requirement and an XML file verbatim.
if(NOT KV_MACOS_APP_BUNDLE_ID MATCHES "^[A-Za-z0-9][A-Za-z0-9.-]*$")
  message(FATAL_ERROR "KV_MACOS_APP_BUNDLE_ID is not a bundle identifier: ${KV_MACOS_APP_BUNDLE_ID}")
endif()
if(NOT KV_MACOS_TEAM_ID MATCHES "^[A-Z0-9]+$")
  message(FATAL_ERROR "KV_MACOS_TEAM_ID is not a team identifier (capital letters and digits): ${KV_MACOS_TEAM_ID}")
endif()

set(kv_xpc_header "${PROJECT_SOURCE_DIR}/helper/src/xpc.hpp")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${kv_xpc_header}")
file(STRINGS "${kv_xpc_header}" kv_label_line REGEX "kXpcServiceLabel = \"[A-Za-z0-9.-]+\"")
string(REGEX REPLACE ".*kXpcServiceLabel = \"([A-Za-z0-9.-]+)\".*" "\\1" KV_HELPER_SERVICE_LABEL "${kv_label_line}")
if(NOT KV_HELPER_SERVICE_LABEL MATCHES "^[A-Za-z0-9.-]+$")
  message(FATAL_ERROR "no kXpcServiceLabel in ${kv_xpc_header}")
endif()

find_package(Python3 COMPONENTS Interpreter)
set(KV_HELPER_BUNDLE_CHECK "${PROJECT_SOURCE_DIR}/tests/helper_bundle_check.py")

# kv_add_helper_bundle(TARGET APP_DIR [CHECK]): a target, built by default,
# that lays out the helper and its plist under APP_DIR (a directory named
# <App>.app). With CHECK, the layout is checked after each copy where a
# Python 3 is at hand.
function(kv_add_helper_bundle target app_dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "CHECK" "" "")
  set(kv_label "${KV_HELPER_SERVICE_LABEL}")
  set(kv_app_id "${KV_MACOS_APP_BUNDLE_ID}")
  set(kv_helper_name kelmar_vindle_helper)
  set(kv_bundle_program "Contents/MacOS/${kv_helper_name}")
  set(kv_requirement
      "anchor apple generic and identifier \"${KV_MACOS_APP_BUNDLE_ID}\" and certificate leaf[subject.OU] = \"${KV_MACOS_TEAM_ID}\"")
  set(plist "${app_dir}/Contents/Library/LaunchDaemons/${kv_label}.plist")
  configure_file("${PROJECT_SOURCE_DIR}/dist/macos/helper.plist.in" "${plist}" @ONLY)

  set(check_command)
  if(arg_CHECK AND Python3_Interpreter_FOUND)
    set(check_command COMMAND Python3::Interpreter "${KV_HELPER_BUNDLE_CHECK}" "${app_dir}" "${kv_label}"
                              "${KV_MACOS_APP_BUNDLE_ID}" "${KV_MACOS_TEAM_ID}")
  endif()
  add_custom_command(OUTPUT "${app_dir}/${kv_bundle_program}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${app_dir}/Contents/MacOS"
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kelmar_vindle_helper> "${app_dir}/${kv_bundle_program}"
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kelmar_vindle_decoder> "${app_dir}/Contents/MacOS/"
    ${check_command}
    DEPENDS kelmar_vindle_helper kelmar_vindle_decoder "${plist}" "${KV_HELPER_BUNDLE_CHECK}"
    COMMENT "Laying out the helper's launch daemon in ${app_dir}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${app_dir}/${kv_bundle_program}")
endfunction()
