# Writes the manual page of vr480-cli from the program's own help, so that the
# page lists exactly the commands, options and exit statuses the program has:
#   awk -v program=PATH -v "source=PACKAGE VERSION" -f cli-manpage.awk
#
# The help's shape: a "Usage:" line; paragraphs; "Heading:" lines, each
# followed by a list of "  TERM  DESCRIPTION" entries whose descriptions may go
# on in lines indented further. The program's help gives the synopsis, the
# description, the options and the exit statuses; each command listed under
# "Commands:" contributes its own help ("vr480-cli COMMAND --help").

# Text for roff: backslashes and minus signs escaped, no control character at
# the start of a line.
function roff(text) {
    gsub(/\\/, "\\e", text)
    gsub(/-/, "\\-", text)
    sub(/^[.']/, "\\\\&&", text)
    return text
}

# The lines of `command`'s output into lines[1..n]; returns n.
function capture(command, lines,    n, line) {
    n = 0
    while ((command | getline line) > 0)
        lines[++n] = line
    if (close(command) != 0 || n == 0) {
        print "cli-manpage.awk: " command " failed" > "/dev/stderr"
        exit 1
    }
    return n
}

function trim(text) {
    sub(/^ +/, "", text)
    sub(/ +$/, "", text)
    return text
}

# Converts lines[from..n] of a help text to roff. At the top level headings
# become sections (collected in section[], in their own order in sections[]);
# within a command they become labelled, indented lists (appended to out).
# Paragraphs at the top level go to the description.
function convert(lines, from, n, top,    i, line, out, target, in_list, heading, term, text) {
    out = ""
    target = "DESCRIPTION"
    in_list = 0
    for (i = from; i <= n; i++) {
        line = lines[i]
        if (line == "") {
            if (in_list && !top)
                out = out ".RE\n"
            in_list = 0
            target = "DESCRIPTION"
            continue
        }
        if (line ~ /^[A-Z][A-Za-z ]*:$/) {
            heading = substr(line, 1, length(line) - 1)
            in_list = 1
            if (top) {
                target = toupper(heading)
                add_section(target)
            } else {
                out = out ".PP\n" roff(heading) ":\n.RS\n"
            }
            continue
        }
        if (in_list && line ~ /^  [^ ]/) {
            term = trim(line)
            text = ""
            if (match(term, /  +/)) {
                text = substr(term, RSTART + RLENGTH)
                term = substr(term, 1, RSTART - 1)
            }
            if (top && target == "COMMANDS") {
                section[target] = section[target] command_help(term)
                continue
            }
            text = ".TP\n\\fB" roff(term) "\\fR\n" (text == "" ? "" : roff(text) "\n")
        } else if (in_list && line ~ /^   /) {
            text = roff(trim(line)) "\n" # an entry's description goes on
        } else {
            text = roff(line) "\n"
            # The first line of a paragraph starts it.
            if (i == from || lines[i - 1] == "" || lines[i - 1] ~ /:$/)
                text = ".PP\n" text
        }
        if (top) {
            add_section(target)
            section[target] = section[target] text
        } else {
            out = out text
        }
    }
    if (in_list && !top)
        out = out ".RE\n"
    return out
}

function add_section(name) {
    if (!(name in section)) {
        sections[++section_count] = name
        section[name] = ""
    }
}

# One command's subsection: its usage line, then the rest of its help.
function command_help(name,    lines, n, usage) {
    n = capture(quoted_program " " name " --help", lines)
    usage = lines[1]
    sub(/^Usage: [^ ]+ [^ ]+ ?/, "", usage)
    return ".SS " roff(name) "\n\\fB" roff(program_name " " name) "\\fR " roff(usage) "\n" convert(lines, 2, n, 0)
}

BEGIN {
    if (program == "" || source == "") {
        print "usage: awk -v program=PATH -v \"source=PACKAGE VERSION\" -f cli-manpage.awk" > "/dev/stderr"
        exit 2
    }
    quoted_program = "'" program "'"
    n = capture(quoted_program " --help", help)
    if (help[1] !~ /^Usage: /) {
        print "cli-manpage.awk: unexpected help: " help[1] > "/dev/stderr"
        exit 1
    }
    program_name = help[1]
    sub(/^Usage: /, "", program_name)
    usage = program_name
    sub(/ .*/, "", program_name)
    sub(/^[^ ]+ ?/, "", usage)
    # The first paragraph after the usage line says what the program does.
    summary = help[3]
    for (i = 4; i <= n && help[i] != ""; i++)
        summary = summary " " help[i]
    whatis = tolower(substr(summary, 1, 1)) substr(summary, 2)
    sub(/\.$/, "", whatis)

    add_section("DESCRIPTION")
    convert(help, 3, n, 1)

    printf ".TH %s 1 \"\" \"%s\" \"User Commands\"\n", toupper(roff(program_name)), roff(source)
    print ".\\\" Made by packaging/man/cli-manpage.awk from the program's help."
    print ".nh"
    print ".ad l"
    print ".SH NAME"
    print roff(program_name) " \\- " roff(whatis)
    print ".SH SYNOPSIS"
    print "\\fB" roff(program_name) "\\fR " roff(usage)
    for (i = 1; i <= section_count; i++) {
        name = sections[i]
        print ".SH " (name ~ / / ? "\"" name "\"" : name)
        printf "%s", section[name]
    }
    print ".SH FILES"
    print ".TP"
    print "\\fI/usr/lib/udev/rules.d/60\\-vr480.rules\\fR"
    print "lets the members of the group plugdev open the VR480 without root rights."
    print ".SH \"SEE ALSO\""
    print "\\fBvr480_bootloader\\fR(1)"
}
