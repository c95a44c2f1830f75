# A Windows program of ours: warnings as errors, a version resource from the project version,
# and linked so that it imports only Windows system DLLs.
function(phpkeeper_windows_program target file_description)
    phpkeeper_warnings(${target})
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
    target_link_options(${target} PRIVATE -static -s -Wl,--gc-sections)
    set(PHPKEEPER_FILE_DESCRIPTION "${file_description}")
    set(PHPKEEPER_FILE_NAME "${target}.exe")
    set(resource ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/src/platform/win32/version.rc.in ${resource} @ONLY)
    target_sources(${target} PRIVATE ${resource})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
endfunction()
