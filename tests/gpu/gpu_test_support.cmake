# What the GPU tests (qlmr_tests_gpu_<variant>) need besides their sources:
# - the fake Vulkan loader, a module named libvulkan.so.1 in a folder of its
#   own, so the engine tests can load it by path and the program tests can
#   put it first on LD_LIBRARY_PATH. As a module it has no soname, so it can
#   never stand in for the real loader that the same process also opens.
# - the test kernels of tests/gpu/shaders, compiled like the engine's.
# - a run of the device tests under the Khronos validation layer, with
#   synchronization validation proven on by a deliberate hazard.
include_guard(GLOBAL)

set(QLMR_FAKE_VULKAN_DIR ${CMAKE_BINARY_DIR}/tests/fake_vulkan)
add_library(qlmr_fake_vulkan MODULE ${CMAKE_SOURCE_DIR}/tests/gpu/fake_loader/fake_vulkan.c)
target_link_libraries(qlmr_fake_vulkan PRIVATE Vulkan::Headers)
set_target_properties(qlmr_fake_vulkan PROPERTIES
  PREFIX "lib" OUTPUT_NAME vulkan SUFFIX ".so.1"
  LIBRARY_OUTPUT_DIRECTORY ${QLMR_FAKE_VULKAN_DIR}
  C_VISIBILITY_PRESET hidden)

qlmr_compile_shader_dir(qlmr_test_shaders ${CMAKE_SOURCE_DIR}/tests/gpu/shaders qlmr_test_shaders qlmr::test_shaders)

find_file(QLMR_VALIDATION_LAYER_MANIFEST VkLayer_khronos_validation.json
  PATHS /usr/share/vulkan/explicit_layer.d /usr/local/share/vulkan/explicit_layer.d /etc/vulkan/explicit_layer.d
  NO_DEFAULT_PATH)

foreach(variant avx2 sse2)
  set(target qlmr_tests_gpu_${variant})
  if(NOT TARGET ${target})
    continue()
  endif()
  target_compile_definitions(${target} PRIVATE QLMR_FAKE_VULKAN_PATH="$<TARGET_FILE:qlmr_fake_vulkan>")
  add_dependencies(${target} qlmr_fake_vulkan qlmr_test_shaders)
  if(QLMR_VALIDATION_LAYER_MANIFEST)
    add_test(NAME ${variant}.validation.gpu_device_tests
      COMMAND ${CMAKE_COMMAND} "-DQLMR_COMMAND=$<TARGET_FILE:${target}>;--gtest_filter=*OnDevice*"
              "-DQLMR_CANARY=$<TARGET_FILE:${target}>;--gtest_filter=*SynchronizationHazardCanary*"
              -P ${CMAKE_SOURCE_DIR}/tests/gpu/run_with_validation.cmake)
    set_tests_properties(${variant}.validation.gpu_device_tests PROPERTIES
      ENVIRONMENT "QLMR_TEST_VARIANT=${variant}")
  endif()
endforeach()
