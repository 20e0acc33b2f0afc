# Runs one command under the Khronos validation layer and fails when the
# layer was not loaded, when it reported anything, or when the command failed.
#   cmake -DQLMR_COMMAND=<program;args> -P run_with_validation.cmake
set(ENV{VK_INSTANCE_LAYERS} VK_LAYER_KHRONOS_validation)
# The loader then says which layers it inserted, which proves the layer ran.
set(ENV{VK_LOADER_DEBUG} layer)
execute_process(COMMAND ${QLMR_COMMAND} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the command failed (${result})")
endif()
if(NOT output MATCHES "Insert instance layer \"VK_LAYER_KHRONOS_validation\"")
  message(FATAL_ERROR "the validation layer was not loaded")
endif()
if(output MATCHES "Validation (Error|Warning|Performance Warning)|VUID-|has not been destroyed")
  message(FATAL_ERROR "the validation layer reported a problem")
endif()
