# Runs one command under the Khronos validation layer, with synchronization
# validation on, and fails when the layer was not loaded, when it reported
# anything, or when the command failed.
#   cmake -DQLMR_COMMAND=<program;args> [-DQLMR_CANARY=<program;args>] -P run_with_validation.cmake
# QLMR_CANARY, when given, is a command that records one deliberate hazard
# (run with QLMR_SYNC_CANARY=1): the layer must report it, which proves the
# synchronization checks were on for the main command.
set(ENV{VK_INSTANCE_LAYERS} VK_LAYER_KHRONOS_validation)
# Hazards between commands that no barrier orders come out as SYNC-HAZARD errors.
set(ENV{VK_LAYER_ENABLES} VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT)
# The loader then says which layers it inserted, which proves the layer ran.
set(ENV{VK_LOADER_DEBUG} layer)
# In the sanitizer build the layer, an uninstrumented library that is
# unloaded with each instance, leaves allocations the leak checker can no
# longer name. The same commands run without the layer under the leak
# checker in the suite itself, so here it is off; every other check stays.
if(DEFINED ENV{ASAN_OPTIONS})
  set(ENV{ASAN_OPTIONS} "$ENV{ASAN_OPTIONS}:detect_leaks=0")
endif()
execute_process(COMMAND ${QLMR_COMMAND} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the command failed (${result})")
endif()
if(NOT output MATCHES "Insert instance layer \"VK_LAYER_KHRONOS_validation\"")
  message(FATAL_ERROR "the validation layer was not loaded")
endif()
if(output MATCHES "Validation (Error|Warning|Performance Warning)|VUID-|SYNC-|has not been destroyed")
  message(FATAL_ERROR "the validation layer reported a problem")
endif()

if(DEFINED QLMR_CANARY)
  set(ENV{QLMR_SYNC_CANARY} 1)
  execute_process(COMMAND ${QLMR_CANARY} OUTPUT_VARIABLE canary ERROR_VARIABLE canary)
  if(NOT canary MATCHES "SYNC-HAZARD-")
    message("${canary}")
    message(FATAL_ERROR "the deliberate hazard went unreported: synchronization validation is off")
  endif()
endif()
