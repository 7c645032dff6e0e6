# The Debian packages, made by CPack from the install rules' two components:
#   cpack --config build/CPackConfig.cmake  ->  mrv33_3.3_<arch>.deb (runtime)
#                                               mrv33-dev_3.3_<arch>.deb (dev)
# The runtime's dependencies on shared libraries are computed by
# dpkg-shlibdeps; what the engine loads by name at run time (SDL2_mixer) and
# the font it draws with are added by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mrv33)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "mrv33 maintainers <maintainers@users.noreply.c-seed-bf1b35b1.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://c-seed-bf1b35b1.example/mrv33")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME mrv33)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION interpreters)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libsdl2-mixer-2.0-0, fonts-ipafont-gothic")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "scenario script engine for interactive titles
mrv33 runs titles written as scenarios in a small command language:
pictures in windows, text output, sound, keyboard and mouse input, driven
by up to 20 cooperative tasks, with commands from command libraries loaded
by name. The package holds the engine's program directory in
/usr/lib/mrv33, the author tools mrvc, mrvtrace, mrvdap and mrvvfs, the title
runner mrv33, the title packer mrvpack, the documentation and examples.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME mrv33-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "mrv33 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "SDK for command libraries of the mrv33 engine
Headers, a CMake package (find_package(mrv33)) and a pkg-config file
(mrv33.pc) for command libraries that titles of the mrv33 scenario engine
bring along, and a template title with a command library of its own.")

# Each package's copyright and changelog (compressed as Debian wants it).
find_program(MRV_GZIP gzip)
if(MRV_GZIP)
  set(changelog ${CMAKE_BINARY_DIR}/sdk/changelog.gz)
  execute_process(COMMAND ${MRV_GZIP} -9nc ${CMAKE_SOURCE_DIR}/cmake/debian/changelog
                  OUTPUT_FILE ${changelog})
  foreach(c runtime dev)
    set(pkg mrv33)
    if(c STREQUAL "dev")
      set(pkg mrv33-dev)
    endif()
    install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${changelog}
            DESTINATION share/doc/${pkg} COMPONENT ${c})
  endforeach()
endif()

include(CPack)
