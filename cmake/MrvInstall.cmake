# The SDK: what `cmake --install` puts under the prefix, in two components
# that are also the two Debian packages (cmake/MrvPackage.cmake):
#   runtime  lib/mrv33/       the program directory, laid out as build/bin
#            bin/             the author tools (links into lib/mrv33), mrv33
#                             (runs a title from its own folder), mrvpack
#            share/doc/mrv33  the README and the docs
#            share/mrv33/examples  the default title, hello, mrvwin's source
#   dev      include/mrv33/   the public headers of the five libraries
#            lib/cmake/mrv33/ the CMake package (find_package(mrv33))
#            lib/pkgconfig/   mrv33.pc
#            share/mrv33/template  a title with a command library of its own
# Every path is relative to the prefix, so one build installs anywhere.
set(MRV_INSTALL_PROGRAM_DIR lib/mrv33)
set(MRV_SDK_LIBRARIES mrvtask mrvval mrvfile mrvcomp mrvexec)

# Every program and library built into the program directory, whoever added
# it: the targets whose output lands in build/bin.
function(mrv_program_dir_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  set(found "")
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      get_target_property(where ${t} RUNTIME_OUTPUT_DIRECTORY)
    elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      get_target_property(where ${t} LIBRARY_OUTPUT_DIRECTORY)
    else()
      continue()
    endif()
    if(where STREQUAL MRV_BIN_DIR)
      list(APPEND found ${t})
    endif()
  endforeach()
  foreach(d ${subdirs})
    mrv_program_dir_targets(${d} sub)
    list(APPEND found ${sub})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
mrv_program_dir_targets(${CMAKE_SOURCE_DIR} MRV_PROGRAM_TARGETS)

install(TARGETS ${MRV_PROGRAM_TARGETS} COMPONENT runtime
        RUNTIME DESTINATION ${MRV_INSTALL_PROGRAM_DIR}
        LIBRARY DESTINATION ${MRV_INSTALL_PROGRAM_DIR})
# The default title beside the host, as in build/bin.
install(FILES ${MRV_DEFAULT_TITLE_FILES} DESTINATION ${MRV_INSTALL_PROGRAM_DIR}
        COMPONENT runtime)

# bin/: a relative link to each author tool (every program but the host and
# the launcher), the title runner and the packer.
set(tools "")
foreach(t ${MRV_PROGRAM_TARGETS})
  get_target_property(type ${t} TYPE)
  if(type STREQUAL "EXECUTABLE" AND NOT t MATCHES "^(mrv33|starter)$")
    list(APPEND tools $<TARGET_FILE_NAME:${t}>)
  endif()
endforeach()
install(CODE "
  set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(MAKE_DIRECTORY \"\${bin}\")
  foreach(tool ${tools})
    message(STATUS \"Installing: \${bin}/\${tool} -> ../${MRV_INSTALL_PROGRAM_DIR}/\${tool}\")
    file(CREATE_LINK ../${MRV_INSTALL_PROGRAM_DIR}/\${tool} \"\${bin}/\${tool}\" SYMBOLIC)
  endforeach()" COMPONENT runtime)
install(PROGRAMS tools/sdk/mrv33 tools/sdk/mrvpack DESTINATION bin COMPONENT runtime)
install(FILES tools/sdk/icon.png DESTINATION share/mrv33 COMPONENT runtime)

install(FILES README.md DESTINATION share/doc/mrv33 COMPONENT runtime)
install(DIRECTORY docs/ DESTINATION share/doc/mrv33 COMPONENT runtime)
install(DIRECTORY examples/mrv examples/hello examples/mrvwin DESTINATION share/mrv33/examples
        COMPONENT runtime)

# The public headers: each SDK library's include/ directory, nothing else.
foreach(lib ${MRV_SDK_LIBRARIES})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${lib}/include/*.h)
  install(FILES ${headers} DESTINATION include/mrv33 COMPONENT dev)
endforeach()

include(CMakePackageConfigHelpers)
set(MRV_SDK_DIR ${CMAKE_BINARY_DIR}/sdk)
configure_file(cmake/mrv33Config.cmake.in ${MRV_SDK_DIR}/mrv33Config.cmake @ONLY)
write_basic_package_version_file(${MRV_SDK_DIR}/mrv33ConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${MRV_SDK_DIR}/mrv33Config.cmake ${MRV_SDK_DIR}/mrv33ConfigVersion.cmake
        DESTINATION lib/cmake/mrv33 COMPONENT dev)
configure_file(cmake/mrv33.pc.in ${MRV_SDK_DIR}/mrv33.pc @ONLY)
install(FILES ${MRV_SDK_DIR}/mrv33.pc DESTINATION lib/pkgconfig COMPONENT dev)
install(DIRECTORY examples/template/ DESTINATION share/mrv33/template COMPONENT dev)

include(cmake/MrvPackage.cmake)
