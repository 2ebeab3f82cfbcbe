# Included from platform/quorvela/CMakeLists.txt.
option(QV_BENCH "Build the QUORVELA vs Cyclone benchmark in platform/quorvela/bench (not part of CTest)" OFF)
if(QV_BENCH)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_BINARY_DIR}/bench)
endif()
