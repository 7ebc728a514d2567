# Sourced by the package and installer tests: check NAME COMMAND... runs the
# command, prints PASS or FAIL with its name and counts it in $passed/$failed.
passed=0
failed=0
check() {
    local name=$1
    shift
    if "$@"; then
        echo "PASS $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        failed=$((failed + 1))
    fi
}
