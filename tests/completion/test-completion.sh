#!/usr/bin/env bash
# What the bash completion of vr480-cli offers, driven as bash drives it: the
# function that `complete -p` names, called with COMP_WORDS and COMP_CWORD
# set, in a folder of known files, with simulated devices for the serials.
#   test-completion.sh COMPLETION_FILE PROGRAM SIM_SERIALS (support/simserials.cpp)
set -u
completion=$(realpath "$1")
program=$(realpath "$2")
serials=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/files"
cd "$work/files" || exit 1
mkdir sub
touch a.upg B.UPG b.hex c.bin d.txt 'e f.hex' sub/x.upg sub/y.txt
export VR480_SIM_STATE=$work/state VR480_SIM_DEVICES=2

# shellcheck source=/dev/null
source "$completion"
passed=0 failed=0
for name in vr480-cli "${program##*/}"; do
    function=$(complete -p "$name" 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    if [[ $function == _vr480_cli ]]; then
        ((passed++))
    else
        echo "FAIL: no completion for $name"
        ((failed++))
    fi
done

# The replies, one per line, sorted.
sorted() { printf '%s\n' "$@" | LC_ALL=C sort; }

# check "EXPECTED|REPLIES" WORD... : the last word is the one completed.
check()
{
    local expected=$1
    shift
    COMP_WORDS=("$program" "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _vr480_cli "$program" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>"$work/err"
    local want got
    IFS='|' read -r -a want <<<"$expected"
    want=$(sorted "${want[@]}")
    got=$(sorted "${COMPREPLY[@]}")
    if [[ $got == "$want" && ! -s $work/err ]]; then
        ((passed++))
    else
        echo "FAIL: ${*@Q}"
        echo "  offered: ${got//$'\n'/|}"
        echo "  wanted:  ${want//$'\n'/|}"
        [[ -s $work/err ]] && sed 's/^/  error: /' "$work/err"
        ((failed++))
    fi
}

check 'create-bootbin|create-upg' cr
check '--help|--verbose|--version|-h|-v' -
check 'a.upg|B.UPG|sub' upgrade ''
check 'a.upg|B.UPG|sub' station ''
check 'a.upg|B.UPG|sub' verify ''
check 'backup' ba
check 'a.upg|B.UPG|b.hex|c.bin|d.txt|e f.hex|sub' upgrade a.upg --backup ''
check '--verbose|--verify' station a.upg --ver
check 'a.upg|B.UPG|sub' -v upgrade ''
check 'sub/x.upg' upgrade sub/
check 'b.hex|e f.hex|sub' create-upg ''
check 'b.hex|e f.hex|sub' create-bootbin ''
check 'c.bin|sub' write-ext ''
check '' upgrade a.upg ''
check '' read-mem ''
check 'a.upg|B.UPG|b.hex|c.bin|d.txt|e f.hex|sub' hex2bin b.hex -o ''
check 'a.upg|B.UPG|b.hex|c.bin|d.txt|e f.hex|sub' upgrade a.upg --report ''
check 'sub' create-bootbin b.hex --dir ''
check '--report' upgrade a.upg --rep
check '--json' info --j
check 'VR4800001|VR4800002' upgrade a.upg --serial ''
check 'VR4800002' info --serial VR4800002
check 'VR4800001|VR4800002' upgrade --serial = ''
check 'a.upg|B.UPG|sub' upgrade --serial VR4800001 ''
check 'a.upg|B.UPG|sub' upgrade --serial = VR4800001 ''
# The device list failing (here the simulation refusing its setting): nothing, and nothing said.
VR480_SIM_DEVICES=0 check '' upgrade --serial ''

# Names and serials that a shell would expand, glob or split: offered as they
# are, once, file names for bash to quote and serials quoted; none runs; no
# empty serial, nor the pieces of a name that holds a newline.
mkdir "$work/odd" && cd "$work/odd" && mkdir '*' && touch '[ab].upg' a.upg plain.txt $'nl\nx.upg' || exit 1
check '*|[ab].upg|a.upg' upgrade ''
check '*' create-bootbin b.hex --dir ''
check '[ab].upg' upgrade '['
"$serials" "$work/odd.state" '$(touch${IFS}ran)' '`touch ran`' '*' '${HOME}' '{a,b}x' '' 'a b' $'e\x1bf\ng' VR1 VR1
VR480_SIM_STATE=$work/odd.state check '\$\(touch\$\{IFS\}ran\)|\`touch\ ran\`|\*|\$\{HOME\}|\{a\,b\}x|a\ b|VR1|'"\$'e\\Ef\\ng'" info --serial ''
VR480_SIM_STATE=$work/odd.state check 'a\ b' info --serial 'a\ '
if [[ -e ran ]]; then echo "FAIL: a serial ran as a command"; ((failed++)); else ((passed++)); fi
echo "$passed passed, $failed failed"
((failed == 0))
