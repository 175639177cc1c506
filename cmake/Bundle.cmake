# The application bundle, assembled in the build folder as part of `all`:
#   Quendrel.app/Contents/Info.plist
#   Quendrel.app/Contents/MacOS/{Quendrel, quendrelctl, quendrel-terms}
#   Quendrel.app/Contents/Resources/payload   (the reference payload, devkit/payload)
#   Quendrel.app/Contents/_CodeSignature       (when quendrel-codesign is built)
#
# Included from the top-level CMakeLists.txt it defines the `bundle` target; run with
# `cmake -P` it does the assembling, so the payload is copied as it is whenever the target
# builds.

if(CMAKE_SCRIPT_MODE_FILE)
  # Arguments: APP, INFO, PAYLOAD, EXECUTABLES (a list), and SIGNER and KEY to sign with.
  set(contents "${APP}/Contents")
  file(MAKE_DIRECTORY "${contents}/MacOS" "${contents}/Resources")
  file(COPY_FILE "${INFO}" "${contents}/Info.plist" ONLY_IF_DIFFERENT)
  foreach(executable IN LISTS EXECUTABLES)
    get_filename_component(name "${executable}" NAME)
    set(target "${contents}/MacOS/${name}")
    if(EXISTS "${target}")
      file(SHA256 "${executable}" new_digest)
      file(SHA256 "${target}" old_digest)
      if(new_digest STREQUAL old_digest)
        continue()
      endif()
    endif()
    # Beside it, then renamed over it: a copy of the bundle may be running from there.
    file(COPY_FILE "${executable}" "${target}.new")
    file(RENAME "${target}.new" "${target}")
  endforeach()
  file(REMOVE_RECURSE "${contents}/Resources/payload")
  if(IS_DIRECTORY "${PAYLOAD}")
    # Modes and symbolic links come along as they are.
    execute_process(COMMAND cp -a "${PAYLOAD}" "${contents}/Resources/payload"
                    RESULT_VARIABLE copied)
    if(NOT copied EQUAL 0)
      message(FATAL_ERROR "Could not copy the payload from ${PAYLOAD}")
    endif()
  else()
    file(MAKE_DIRECTORY "${contents}/Resources/payload")
  endif()
  if(SIGNER)
    if(NOT EXISTS "${KEY}")
      execute_process(COMMAND "${SIGNER}" keygen "${KEY}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    endif()
    execute_process(COMMAND "${SIGNER}" sign "${APP}" --key "${KEY}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
  return()
endif()

function(quendrel_xml_text out value)
  string(REPLACE "&" "&amp;" value "${value}")
  string(REPLACE "<" "&lt;" value "${value}")
  string(REPLACE ">" "&gt;" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

quendrel_xml_text(bundle_version "${QUENDREL_VERSION}")
quendrel_xml_text(bundle_build "${QUENDREL_BUILD}")
quendrel_xml_text(bundle_service "${QUENDREL_SERVICE}")
set(bundle_info "${CMAKE_BINARY_DIR}/bundle/Info.plist")
file(CONFIGURE OUTPUT "${bundle_info}" @ONLY CONTENT [=[
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.quendrel.manager</string>
	<key>CFBundleName</key>
	<string>Quendrel</string>
	<key>CFBundleShortVersionString</key>
	<string>@bundle_version@</string>
	<key>CFBundleVersion</key>
	<string>@bundle_build@</string>
	<key>CFBundleExecutable</key>
	<string>Quendrel</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>QuendrelService</key>
	<string>@bundle_service@</string>
</dict>
</plist>
]=])

set(QUENDREL_SIGNING_KEY "" CACHE FILEPATH
  "The secret key the bundle is signed with; empty: a key made once for this build folder")
set(bundle_signing)
set(bundle_tools Quendrel quendrelctl quendrel-terms)
if(TARGET quendrel-codesign)
  set(bundle_key "${QUENDREL_SIGNING_KEY}")
  if(NOT bundle_key)
    set(bundle_key "${CMAKE_BINARY_DIR}/bundle/signing.key")
  endif()
  set(bundle_signing "-DSIGNER=$<TARGET_FILE:quendrel-codesign>" "-DKEY=${bundle_key}")
  list(APPEND bundle_tools quendrel-codesign)
endif()

set(QUENDREL_APP "${CMAKE_BINARY_DIR}/Quendrel.app")
add_custom_target(bundle ALL
  COMMAND ${CMAKE_COMMAND}
    "-DAPP=${QUENDREL_APP}"
    "-DINFO=${bundle_info}"
    "-DPAYLOAD=${CMAKE_SOURCE_DIR}/devkit/payload"
    "-DEXECUTABLES=$<TARGET_FILE:Quendrel>;$<TARGET_FILE:quendrelctl>;$<TARGET_FILE:quendrel-terms>"
    ${bundle_signing}
    -P "${CMAKE_CURRENT_LIST_FILE}"
  DEPENDS ${bundle_tools}
  COMMENT "Assembling Quendrel.app"
  VERBATIM)
