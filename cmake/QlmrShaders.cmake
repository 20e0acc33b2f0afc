# Shaders: every engine/gpu/shaders/<name>.<stage> (comp, vert, frag) is
# compiled once per build with glslc (includes tracked through a depfile),
# validated with spirv-val and embedded as 32-bit words in a generated header
#   ${CMAKE_BINARY_DIR}/generated/qlmr_shaders/<name>_<stage>.h
# that defines qlmr::shaders::<name>_<stage>[] (generated/ is on the engine's
# include path). Only engine/gpu sources include these headers; everyone else
# reaches the words through engine/gpu/embedded_shaders.h.
#
# The same file is also the embedding script: run with -P and the
# QLMR_EMBED_* variables it turns one .spv file into such a header.

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED QLMR_EMBED_INPUT)
  file(READ "${QLMR_EMBED_INPUT}" bytes HEX)
  string(LENGTH "${bytes}" hex_length)
  math(EXPR remainder "${hex_length} % 8")
  if(hex_length EQUAL 0 OR NOT remainder EQUAL 0)
    message(FATAL_ERROR "${QLMR_EMBED_INPUT}: not a whole number of SPIR-V words")
  endif()
  # SPIR-V words are little-endian in the file: reverse the bytes of each word.
  string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1u,\n" words "${bytes}")
  file(WRITE "${QLMR_EMBED_OUTPUT}.tmp"
    "// Generated from ${QLMR_EMBED_SOURCE}; do not edit.\n"
    "#pragma once\n\n#include <cstdint>\n\n"
    "namespace ${QLMR_EMBED_NAMESPACE} {\n\n"
    "inline constexpr std::uint32_t ${QLMR_EMBED_NAME}[] = {\n${words}};\n\n"
    "} // namespace ${QLMR_EMBED_NAMESPACE}\n")
  file(RENAME "${QLMR_EMBED_OUTPUT}.tmp" "${QLMR_EMBED_OUTPUT}")
  return()
endif()

find_program(QLMR_SPIRV_VAL spirv-val REQUIRED)
set(QLMR_SHADERS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# Compiles every shader of source_dir into headers under
# generated/<subdir>, in namespace <namespace>, driven by the custom target
# <target_name>. Call it once per target name.
function(qlmr_compile_shader_dir target_name source_dir subdir namespace)
  file(GLOB sources CONFIGURE_DEPENDS
    ${source_dir}/*.comp ${source_dir}/*.vert ${source_dir}/*.frag)
  set(out_dir ${CMAKE_BINARY_DIR}/generated/${subdir})
  file(MAKE_DIRECTORY ${out_dir})
  set(headers "")
  foreach(source IN LISTS sources)
    get_filename_component(file_name ${source} NAME)
    string(REGEX REPLACE "[^A-Za-z0-9_]" "_" symbol ${file_name})
    set(spv ${out_dir}/${symbol}.spv)
    set(header ${out_dir}/${symbol}.h)
    set(depfile ${out_dir}/${symbol}.d)
    add_custom_command(
      OUTPUT ${spv} ${header}
      COMMAND ${Vulkan_GLSLC_EXECUTABLE} --target-env=vulkan1.1 -O -MD -MF ${depfile} -MT ${spv}
              -o ${spv} ${source}
      COMMAND ${QLMR_SPIRV_VAL} --target-env vulkan1.1 ${spv}
      COMMAND ${CMAKE_COMMAND} -DQLMR_EMBED_INPUT=${spv} -DQLMR_EMBED_OUTPUT=${header}
              -DQLMR_EMBED_NAME=${symbol} -DQLMR_EMBED_NAMESPACE=${namespace}
              -DQLMR_EMBED_SOURCE=${file_name} -P ${QLMR_SHADERS_SCRIPT}
      DEPENDS ${source} ${QLMR_SHADERS_SCRIPT}
      DEPFILE ${depfile}
      COMMENT "Compiling shader ${file_name}"
      VERBATIM)
    list(APPEND headers ${header})
  endforeach()
  add_custom_target(${target_name} DEPENDS ${headers})
endfunction()

# Called for each qlmr_gpu_<variant>: the shaders are compiled once, and
# every variant waits for them before compiling.
function(qlmr_attach_shaders target)
  if(NOT TARGET qlmr_shaders)
    qlmr_compile_shader_dir(qlmr_shaders ${CMAKE_SOURCE_DIR}/engine/gpu/shaders qlmr_shaders qlmr::shaders)
  endif()
  add_dependencies(${target} qlmr_shaders)
endfunction()
