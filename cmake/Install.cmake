# Installation: the plug-in and the reference host library, the plug-in's headers with the host
# declarations they use, the tools, the shaders, and a CMake package: find_package(animator CONFIG)
# gives the imported targets animator::animator (the plug-in) and animator::ornhost (the host library).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ANIMATOR_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/animator)
set(ANIMATOR_INCLUDE_INSTALL_DIR ${CMAKE_INSTALL_INCLUDEDIR}/animator)
set(ANIMATOR_SHADER_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/animator/shaders)

# Installed programs find the libraries beside them in the prefix.
set_target_properties(animator ornhost PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS animator ornhost LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(tool animator_host animator_inspect make_sample_data)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Headers keep their tree ("animator/...", "host/...", "refhost/...") under one include directory; the
# internal helper header of the animation library stays out.
foreach(dir animator host refhost)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/${dir}/ DESTINATION ${ANIMATOR_INCLUDE_INSTALL_DIR}/${dir}
          FILES_MATCHING PATTERN "*.h" PATTERN "program" EXCLUDE PATTERN "shaders" EXCLUDE
          PATTERN "AnimationManagerDetail.h" EXCLUDE)
endforeach()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/refhost/shaders/ DESTINATION ${ANIMATOR_SHADER_INSTALL_DIR})

# A sanitized build's libraries need the sanitizer runtime in every program that links them.
set(ANIMATOR_PACKAGE_LINK_OPTIONS "")
if(ANIMATOR_SANITIZE STREQUAL "address")
  set(ANIMATOR_PACKAGE_LINK_OPTIONS "-fsanitize=address,undefined")
elseif(ANIMATOR_SANITIZE STREQUAL "thread")
  set(ANIMATOR_PACKAGE_LINK_OPTIONS "-fsanitize=thread")
endif()

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/animatorConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/animatorConfig.cmake
                              INSTALL_DESTINATION ${ANIMATOR_CMAKE_INSTALL_DIR}
                              PATH_VARS CMAKE_INSTALL_LIBDIR ANIMATOR_INCLUDE_INSTALL_DIR
                                        ANIMATOR_SHADER_INSTALL_DIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/animatorConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/animatorConfig.cmake ${CMAKE_BINARY_DIR}/animatorConfigVersion.cmake
        DESTINATION ${ANIMATOR_CMAKE_INSTALL_DIR})
