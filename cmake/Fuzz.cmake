# libFuzzer harnesses (clang only), built instead of the test suite in a folder of their own:
#   CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DQUENDREL_FUZZ=ON -DBUILD_TESTING=OFF
# scripts/fuzz does this and runs them. Every library is built with the fuzzer's coverage,
# AddressSanitizer and UndefinedBehaviorSanitizer.
option(QUENDREL_FUZZ "Build the libFuzzer harnesses of tests/fuzz (clang only)" OFF)

if(QUENDREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUENDREL_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)

  set(fuzz_harnesses port version feed inuse plist manifest marker)
  add_library(fuzz_targets OBJECT tests/fuzz/Targets.cpp)
  target_include_directories(fuzz_targets PUBLIC tests)
  target_link_libraries(fuzz_targets PUBLIC quendrel_update)
  add_custom_target(fuzz_harnesses)
  foreach(harness ${fuzz_harnesses})
    add_executable(fuzz_${harness} tests/fuzz/harness/Harness.cpp)
    target_compile_definitions(fuzz_${harness} PRIVATE FUZZ_TARGET="${harness}")
    target_link_options(fuzz_${harness} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${harness} PRIVATE fuzz_targets)
    add_dependencies(fuzz_harnesses fuzz_${harness})
  endforeach()
endif()
