# Spark Connect's protocol: the .proto files ship inside the spark-connect jar of the pyspark package in the
# project's Python environment. They are extracted at build time and compiled with Debian's protoc and gRPC plugin
# into the static library spark_connect_proto (headers under spark/connect/*.pb.h).
find_package(Protobuf REQUIRED)
pkg_check_modules(GRPCPP REQUIRED IMPORTED_TARGET grpc++)
find_program(GRPC_CPP_PLUGIN grpc_cpp_plugin REQUIRED)
execute_process(
  COMMAND "${NORQ_PYTHON}" -c "import glob, os, pyspark; print(sorted(glob.glob(os.path.join(os.path.dirname(pyspark.__file__), 'jars', 'spark-connect_*.jar')))[-1])"
  OUTPUT_VARIABLE SPARK_CONNECT_JAR OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _norq_jar_rc)
if(NOT _norq_jar_rc EQUAL 0 OR NOT EXISTS "${SPARK_CONNECT_JAR}")
  message(FATAL_ERROR "pyspark's spark-connect jar not found through ${NORQ_PYTHON}: run scripts/setup.sh")
endif()
message(STATUS "Spark Connect protocol from ${SPARK_CONNECT_JAR}")

set(_proto_dir "${CMAKE_CURRENT_BINARY_DIR}/spark_connect_proto")
set(_protos base commands common expressions relations types catalog ml ml_common)
set(_proto_files "")
set(_generated "")
foreach(p ${_protos})
  list(APPEND _proto_files "${_proto_dir}/spark/connect/${p}.proto")
  list(APPEND _generated "${_proto_dir}/spark/connect/${p}.pb.cc" "${_proto_dir}/spark/connect/${p}.pb.h")
endforeach()
list(APPEND _generated "${_proto_dir}/spark/connect/base.grpc.pb.cc" "${_proto_dir}/spark/connect/base.grpc.pb.h")
add_custom_command(
  OUTPUT ${_generated}
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_proto_dir}"
  COMMAND ${CMAKE_COMMAND} -E chdir "${_proto_dir}" unzip -oq "${SPARK_CONNECT_JAR}" "spark/connect/*.proto"
  COMMAND protobuf::protoc -I "${_proto_dir}" --cpp_out "${_proto_dir}" ${_proto_files}
  COMMAND protobuf::protoc -I "${_proto_dir}" --grpc_out "${_proto_dir}" --plugin=protoc-gen-grpc=${GRPC_CPP_PLUGIN}
          "${_proto_dir}/spark/connect/base.proto"
  DEPENDS "${SPARK_CONNECT_JAR}"
  COMMENT "Extracting Spark Connect's .proto files from the pyspark jar and generating C++")
set(_generated_cc ${_generated})
list(FILTER _generated_cc INCLUDE REGEX "\\.cc$")
add_library(spark_connect_proto STATIC ${_generated_cc})
target_include_directories(spark_connect_proto SYSTEM PUBLIC "${_proto_dir}")
target_link_libraries(spark_connect_proto PUBLIC protobuf::libprotobuf PkgConfig::GRPCPP)
target_compile_options(spark_connect_proto PRIVATE -w)
set_target_properties(spark_connect_proto PROPERTIES POSITION_INDEPENDENT_CODE ON)
