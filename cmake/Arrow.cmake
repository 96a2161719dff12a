# Apache Arrow C++ (and Parquet) from the pyarrow wheel in the project's Python environment: the wheel ships the
# shared libraries and their headers, built with the same C++ ABI as g++ 12. scripts/setup.sh creates the
# environment and the unversioned library names (pyarrow.create_library_symlinks()).
set(NORQ_PYTHON_ENV "${CMAKE_CURRENT_SOURCE_DIR}/.venv" CACHE PATH "Python environment holding pyarrow (and pyspark)")
set(NORQ_PYTHON "${NORQ_PYTHON_ENV}/bin/python")
if(NOT EXISTS "${NORQ_PYTHON}")
  message(FATAL_ERROR "${NORQ_PYTHON} not found: run scripts/setup.sh (it creates the Python environment with pyarrow)")
endif()
execute_process(
  COMMAND "${NORQ_PYTHON}" -c "import pyarrow as pa; print(pa.get_include()); print(pa.get_library_dirs()[0]); print(pa.__version__)"
  OUTPUT_VARIABLE _norq_pyarrow OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _norq_pyarrow_rc)
if(NOT _norq_pyarrow_rc EQUAL 0)
  message(FATAL_ERROR "pyarrow is not importable by ${NORQ_PYTHON}: run scripts/setup.sh")
endif()
string(REPLACE "\n" ";" _norq_pyarrow "${_norq_pyarrow}")
list(GET _norq_pyarrow 0 ARROW_INCLUDE_DIR)
list(GET _norq_pyarrow 1 ARROW_LIBRARY_DIR)
list(GET _norq_pyarrow 2 ARROW_VERSION)
foreach(lib arrow parquet)
  if(NOT EXISTS "${ARROW_LIBRARY_DIR}/lib${lib}.so")
    message(FATAL_ERROR "${ARROW_LIBRARY_DIR}/lib${lib}.so missing: run "
                        "${NORQ_PYTHON} -c 'import pyarrow; pyarrow.create_library_symlinks()' (scripts/setup.sh does)")
  endif()
endforeach()
add_library(norq_arrow SHARED IMPORTED GLOBAL)
set_target_properties(norq_arrow PROPERTIES IMPORTED_LOCATION "${ARROW_LIBRARY_DIR}/libarrow.so"
                                            INTERFACE_INCLUDE_DIRECTORIES "${ARROW_INCLUDE_DIR}")
add_library(norq_parquet SHARED IMPORTED GLOBAL)
set_target_properties(norq_parquet PROPERTIES IMPORTED_LOCATION "${ARROW_LIBRARY_DIR}/libparquet.so"
                                              INTERFACE_INCLUDE_DIRECTORIES "${ARROW_INCLUDE_DIR}"
                                              INTERFACE_LINK_LIBRARIES norq_arrow)
add_library(Arrow::arrow ALIAS norq_arrow)
add_library(Arrow::parquet ALIAS norq_parquet)
message(STATUS "Arrow ${ARROW_VERSION} from pyarrow: ${ARROW_LIBRARY_DIR}")
