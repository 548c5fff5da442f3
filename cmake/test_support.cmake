# Helpers for valtrix_add_gtest and the tests that tests/CMakeLists.txt adds by hand.

# Adds `target` to the aggregate target `valtrix_tests_<label>` of each label, so that a stage
# running `ctest -L '^<label>$'` builds exactly the programs it runs (and what they depend on).
function(valtrix_add_to_test_labels target)
  foreach(_label IN LISTS ARGN)
    if(NOT TARGET valtrix_tests_${_label})
      add_custom_target(valtrix_tests_${_label})
    endif()
    add_dependencies(valtrix_tests_${_label} ${target})
  endforeach()
endfunction()

# A DDS domain of its own for each test program, 1 up (0 is where people's own nodes live).
# Programs in different domains use disjoint ports and never see each other's topics, so ctest
# may run them side by side; the cases of one program take turns (see valtrix_add_gtest).
function(valtrix_next_test_domain out_var)
  get_property(_domain GLOBAL PROPERTY VALTRIX_NEXT_TEST_DOMAIN)
  if(NOT _domain)
    set(_domain 1)
  endif()
  if(_domain GREATER 232)
    message(FATAL_ERROR "valtrix: out of DDS domain ids for test programs")
  endif()
  math(EXPR _next "${_domain} + 1")
  set_property(GLOBAL PROPERTY VALTRIX_NEXT_TEST_DOMAIN ${_next})
  set(${out_var} ${_domain} PARENT_SCOPE)
endfunction()
