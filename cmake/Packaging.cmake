# The release zip: the three programs, the README, a sample configuration and the licence, all at
# the top of the archive, named after the one project version.
install(TARGETS phpkeeper phpkeeperctl phpkeeper-stop RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/packaging/Lanterra.ini.sample
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME phpkeeper)
set(CPACK_PACKAGE_VENDOR "The phpkeeper developers")
set(CPACK_PACKAGE_FILE_NAME "phpkeeper-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/_CPack)
include(CPack)
