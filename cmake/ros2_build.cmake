# ROS 2 build: a normal ament_cmake package inside a colcon workspace.
find_package(ament_cmake REQUIRED)
find_package(rclcpp REQUIRED)
find_package(ament_index_cpp REQUIRED)
find_package(builtin_interfaces REQUIRED)
find_package(diagnostic_msgs REQUIRED)
find_package(std_msgs REQUIRED)
find_package(valtrix_protocol REQUIRED)

function(valtrix_use_ros2 target)
  ament_target_dependencies(${target} PUBLIC rclcpp builtin_interfaces diagnostic_msgs
    valtrix_protocol)
endfunction()

# For the monitor's programs only: the library itself needs no std_msgs.
function(valtrix_use_std_msgs target)
  ament_target_dependencies(${target} PUBLIC std_msgs)
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

# A test program of gtest/gmock cases, one ctest entry. Without gtest or gmock in the workspace
# ament_add_gmock adds no target, so everything else about the test waits for one to exist.
function(valtrix_add_gtest name)
  cmake_parse_arguments(ARG "ROS2" "GTEST_FILTER"
    "SOURCES;LIBRARIES;LABELS;INCLUDE_DIRECTORIES;DEFINITIONS;DEPENDS" ${ARGN})
  valtrix_next_test_domain(_domain)
  set(_filter "")
  if(ARG_GTEST_FILTER)
    set(_filter "GTEST_FILTER=${ARG_GTEST_FILTER}")
  endif()
  ament_add_gmock(${name} ${ARG_SOURCES}
    ENV ROS_LOCALHOST_ONLY=1 ROS_DOMAIN_ID=${_domain} ${_filter} TIMEOUT 300)
  if(NOT TARGET ${name})
    return()
  endif()
  target_link_libraries(${name} ${ARG_LIBRARIES})
  if(ARG_ROS2)
    ament_target_dependencies(${name} rclcpp builtin_interfaces diagnostic_msgs std_msgs
      valtrix_protocol ament_index_cpp)
  endif()
  # The registry's bookkeeping (src/diagnostic_trace/bookkeeping.hpp) is what tests inspect.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${ARG_INCLUDE_DIRECTORIES})
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  valtrix_add_to_test_labels(${name} ${ARG_LABELS})
endfunction()

macro(valtrix_export)
  ament_export_targets(${PROJECT_NAME}Targets HAS_LIBRARY_TARGET)
  ament_export_dependencies(rclcpp builtin_interfaces diagnostic_msgs valtrix_protocol fmt spdlog)
  ament_package()
endmacro()
