# Adds up ctest's closing lines ("90% tests passed, 1 tests failed out of 10")
# over any number of runs and prints one line: "N passed, M failed".
/tests passed, [0-9]+ tests failed out of [0-9]+/ {
  total += $NF
  failed += $(NF - 5)
}
END { printf "%d passed, %d failed\n", total - failed, failed }
