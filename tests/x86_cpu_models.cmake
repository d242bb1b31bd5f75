# SPDX-License-Identifier: MIT
# Runs the processor-feature tests under emulated x86 models that lack features this machine has,
# each expecting the kernel the model should get: a mistyped CPUID or XCR0 bit in our own probe
# disagrees with the C library's reading somewhere here. Arguments: EMULATOR (its words joined by
# "|"), TESTS (the test program), SKIP (why not, if so).
if(SKIP)
  message("SKIPPED: ${SKIP}")
  return()
endif()
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
# model|kernel. qemu's TCG emulates no AVX-512, so no model here reaches that kernel.
set(models
  "qemu64|baseline"         # no SSSE3
  "Nehalem|sse"             # SSSE3, no XSAVE
  "Nehalem,level=1|sse"     # CPUID stops at leaf 1
  "Snowridge|sse"           # XSAVE without AVX
  "SandyBridge|sse"         # AVX without AVX2
  "Haswell|avx2"
  "Haswell,level=7|avx2"    # CPUID stops at leaf 7
  "Haswell,-avx|sse"        # AVX2 named, but without AVX it is unusable
  "Haswell,-bmi2|sse")      # the avx2 kernel needs BMI2 too
set(failed "")
foreach(row IN LISTS models)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 model)
  list(GET fields 1 kernel)
  set(ENV{EOLFIX_EXPECTED_KERNEL} "${kernel}")
  execute_process(COMMAND ${EMULATOR} -cpu ${model} ${TESTS} --gtest_filter=ProcessorFeatures.*
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(status EQUAL 0 AND NOT output MATCHES "SKIPPED")
    message("-cpu ${model}: ${kernel}, our probe agrees with the C library")
  else()
    message("-cpu ${model} (expecting ${kernel}) FAILED:\n${output}")
    list(APPEND failed "${model}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "failed under: ${failed}")
endif()
