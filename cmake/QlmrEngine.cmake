# The engine library is built once per instruction-set variant from the same
# sources. A variant is a set of static libraries, one per subsystem folder:
#   qlmr_scene_<v>, qlmr_sdna_<v>, qlmr_content_<v>, qlmr_gpu_<v>
# and an interface target qlmr_engine_<v> that links all four.
#
#   avx2: AVX2 + FMA, 8 lanes, ray packets of 4x2 pixels
#   sse2: SSE2 only, 4 lanes, ray packets of 2x2 pixels
#
# The lane count reaches every consumer through the PUBLIC definitions, so a
# test or program linked to a variant sees the same headers the library saw.

set(QLMR_SUBSYSTEMS scene sdna content gpu)

function(qlmr_variant_flags variant out_options out_definitions)
  if(variant STREQUAL "avx2")
    set(${out_options} -mavx2 -mfma PARENT_SCOPE)
    set(${out_definitions} QLMR_SIMD_AVX2=1 QLMR_LANES=8 PARENT_SCOPE)
  elseif(variant STREQUAL "sse2")
    set(${out_options} -msse2 -mno-sse3 -mno-avx PARENT_SCOPE)
    set(${out_definitions} QLMR_SIMD_SSE2=1 QLMR_LANES=4 PARENT_SCOPE)
  else()
    message(FATAL_ERROR "unknown engine variant '${variant}'")
  endif()
endfunction()

# Applies a variant's instruction-set flags to a target of its own (a test,
# a benchmark or a program that includes lane-dependent headers).
function(qlmr_use_variant target variant)
  qlmr_variant_flags(${variant} options definitions)
  target_compile_options(${target} PRIVATE ${options})
  target_compile_definitions(${target} PRIVATE ${definitions})
endfunction()

# What each subsystem calls. scene and sdna call each other (the tile
# renderer's solid object is traced by sdna, sdna uses the scene's cameras);
# CMake repeats such a cycle of static libraries on the link line.
set(QLMR_DEPS_scene sdna)
set(QLMR_DEPS_sdna scene)
set(QLMR_DEPS_content scene sdna)
set(QLMR_DEPS_gpu scene sdna)

function(qlmr_add_engine_variant variant)
  qlmr_variant_flags(${variant} options definitions)
  set(members "")
  foreach(sub IN LISTS QLMR_SUBSYSTEMS)
    set(lib qlmr_${sub}_${variant})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/engine/${sub}/*.cpp)
    if(sources)
      add_library(${lib} STATIC ${sources})
      set(scope PUBLIC)
    else()
      add_library(${lib} INTERFACE)
      set(scope INTERFACE)
    endif()
    target_include_directories(${lib} ${scope} ${CMAKE_SOURCE_DIR}/engine ${CMAKE_BINARY_DIR}/generated)
    target_compile_options(${lib} ${scope} ${options})
    target_compile_definitions(${lib} ${scope} ${definitions})
    target_link_libraries(${lib} ${scope} Threads::Threads ${CMAKE_DL_LIBS})
    list(APPEND members ${lib})
  endforeach()
  foreach(sub IN LISTS QLMR_SUBSYSTEMS)
    set(lib qlmr_${sub}_${variant})
    get_target_property(type ${lib} TYPE)
    foreach(dep IN LISTS QLMR_DEPS_${sub})
      if(type STREQUAL "INTERFACE_LIBRARY")
        target_link_libraries(${lib} INTERFACE qlmr_${dep}_${variant})
      else()
        target_link_libraries(${lib} PUBLIC qlmr_${dep}_${variant})
      endif()
    endforeach()
    if(sub STREQUAL "gpu" AND COMMAND qlmr_attach_shaders)
      qlmr_attach_shaders(${lib})
    endif()
  endforeach()
  add_library(qlmr_engine_${variant} INTERFACE)
  target_link_libraries(qlmr_engine_${variant} INTERFACE ${members})
endfunction()
