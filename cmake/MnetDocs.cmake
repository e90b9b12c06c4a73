# The API reference: the target docs runs Doxygen (docs/Doxyfile.in) over the installed headers
# and docs/PROTOCOL.md into <build>/docs/html. Any Doxygen warning fails it, an undocumented
# public class, function or macro included. Defined only where Doxygen is found; not part of
# the default build.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(MNET_DOCS_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/docs)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${CMAKE_CURRENT_BINARY_DIR}/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E remove_directory ${MNET_DOCS_OUTPUT_DIR}/html
    COMMAND Doxygen::doxygen ${CMAKE_CURRENT_BINARY_DIR}/Doxyfile
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "API reference in ${MNET_DOCS_OUTPUT_DIR}/html"
    VERBATIM)
endif()
