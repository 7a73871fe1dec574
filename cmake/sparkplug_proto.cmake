# The Sparkplug B payload's C code, made from its .proto at build time into
# the calling directory's build folder: the gateway's and the fuzz build's.
function(quorvalend_sparkplug_proto)
  find_program(PROTOC_C protoc-c REQUIRED)
  set(proto_dir ${CMAKE_SOURCE_DIR}/tools/qvgateway/sparkplug)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/sparkplug_b.pb-c.c ${CMAKE_CURRENT_BINARY_DIR}/sparkplug_b.pb-c.h
                     COMMAND ${PROTOC_C} --proto_path=${proto_dir} --c_out=${CMAKE_CURRENT_BINARY_DIR}
                             ${proto_dir}/sparkplug_b.proto
                     DEPENDS ${proto_dir}/sparkplug_b.proto
                     COMMENT "Generating the Sparkplug B payload code")
endfunction()
