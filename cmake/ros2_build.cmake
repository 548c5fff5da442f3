# ROS 2 build: a normal ament_cmake package inside a colcon workspace.
find_package(ament_cmake REQUIRED)
find_package(rclcpp REQUIRED)
find_package(ament_index_cpp REQUIRED)
find_package(builtin_interfaces REQUIRED)
find_package(diagnostic_msgs REQUIRED)
find_package(valtrix_protocol REQUIRED)

function(valtrix_use_ros2 target)
  ament_target_dependencies(${target} PUBLIC rclcpp builtin_interfaces diagnostic_msgs
    valtrix_protocol)
endfunction()

function(valtrix_use_ament_index target)
  ament_target_dependencies(${target} PUBLIC ament_index_cpp)
endfunction()

if(BUILD_TESTING)
  # Test programs use both gtest and gmock; ament_add_gmock links gmock_main for them.
  find_package(ament_cmake_gtest REQUIRED)
  find_package(ament_cmake_gmock REQUIRED)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/test_support.cmake)

function(valtrix_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  valtrix_next_test_domain(_domain)
  ament_add_gmock(${name} ${ARG_SOURCES}
    ENV ROS_LOCALHOST_ONLY=1 ROS_DOMAIN_ID=${_domain} TIMEOUT 300)
  if(TARGET ${name})
    target_link_libraries(${name} ${ARG_LIBRARIES})
    # The registry's bookkeeping (src/diagnostic_trace/bookkeeping.hpp) is what tests inspect.
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    valtrix_add_to_test_labels(${name} ${ARG_LABELS})
  endif()
endfunction()

macro(valtrix_export)
  ament_export_targets(${PROJECT_NAME}Targets HAS_LIBRARY_TARGET)
  ament_export_dependencies(rclcpp builtin_interfaces diagnostic_msgs valtrix_protocol fmt spdlog)
  ament_package()
endmacro()
