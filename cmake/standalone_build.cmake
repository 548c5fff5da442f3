# Standalone build: no ROS 2 on this machine. ros2_standin/ offers the subset of rclcpp,
# builtin_interfaces, valtrix_protocol and ament_index_cpp that the project uses, at the real
# header paths, over Cyclone DDS.
find_package(CycloneDDS REQUIRED)

add_subdirectory(ros2_standin)

# Installed programs find the stand-in's libraries in <prefix>/lib, beside or above them.
set(CMAKE_INSTALL_RPATH "\$ORIGIN:\$ORIGIN/..")
# As DT_RPATH, which LD_LIBRARY_PATH does not override: in a shell where a ROS 2 workspace is
# sourced, the standalone programs would otherwise load that workspace's
# libvaltrix_diagnostic_reporter, built against real rclcpp, and crash.
add_link_options(LINKER:--disable-new-dtags)

function(valtrix_use_ros2 target)
  target_link_libraries(${target} PUBLIC ros2_standin::rclcpp)
endfunction()

# The stand-in's rclcpp carries std_msgs already.
function(valtrix_use_std_msgs target)
endfunction()

function(valtrix_use_ament_index target)
  target_link_libraries(${target} PRIVATE ros2_standin::ament_index_cpp)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/test_support.cmake)

# A test program of gtest/gmock cases; every case becomes a ctest entry. ROS2: the program uses
# rclcpp and the message packages itself.
function(valtrix_add_gtest name)
  cmake_parse_arguments(ARG "ROS2" ""
    "SOURCES;LIBRARIES;LABELS;INCLUDE_DIRECTORIES;DEFINITIONS;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main GTest::gmock)
  if(ARG_ROS2)
    target_link_libraries(${name} PRIVATE ros2_standin::rclcpp ros2_standin::ament_index_cpp)
  endif()
  # The registry's bookkeeping (src/diagnostic_trace/bookkeeping.hpp) is what tests inspect.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${ARG_INCLUDE_DIRECTORIES})
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  # gtest_discover_tests splits list values inside PROPERTIES, so a test gets one label.
  list(LENGTH ARG_LABELS label_count)
  if(label_count GREATER 1)
    message(FATAL_ERROR "valtrix_add_gtest(${name}): give one label, not '${ARG_LABELS}'")
  endif()
  valtrix_add_to_test_labels(${name} ${ARG_LABELS})
  # Every case runs in a process of its own; the cases of one program share its DDS domain and
  # topics, so the lock keeps them from running at the same time.
  valtrix_next_test_domain(_domain)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "ROS_LOCALHOST_ONLY=1"
      ENVIRONMENT_MODIFICATION "ROS_DOMAIN_ID=set:${_domain}"
      RESOURCE_LOCK "ros_domain_${_domain}" LABELS "${ARG_LABELS}" TIMEOUT 300)
endfunction()

# Build-tree ament prefix: resource-index marker and configuration, as the install lays them out.
file(WRITE "${CMAKE_BINARY_DIR}/share/ament_index/resource_index/packages/${PROJECT_NAME}" "")
file(GLOB _valtrix_config_files RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}/config"
  CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/config/*")
foreach(_file IN LISTS _valtrix_config_files)
  configure_file("config/${_file}" "${CMAKE_BINARY_DIR}/share/${PROJECT_NAME}/config/${_file}" COPYONLY)
endforeach()

macro(valtrix_export)
  include(CMakePackageConfigHelpers)
  set(_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/${PROJECT_NAME}")
  install(EXPORT ${PROJECT_NAME}Targets NAMESPACE ${PROJECT_NAME}:: DESTINATION "${_cmake_dir}")
  configure_package_config_file(cmake/${PROJECT_NAME}Config.cmake.in
    "${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}Config.cmake" INSTALL_DESTINATION "${_cmake_dir}")
  write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}ConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}Config.cmake"
    "${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}ConfigVersion.cmake" DESTINATION "${_cmake_dir}")
  install(FILES "${CMAKE_BINARY_DIR}/share/ament_index/resource_index/packages/${PROJECT_NAME}"
    DESTINATION share/ament_index/resource_index/packages)
  install(FILES package.xml DESTINATION share/${PROJECT_NAME})
endmacro()
