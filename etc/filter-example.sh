#!/bin/sh
# Example external article filter. The server writes each article followed
# by a line holding a single dot; the filter answers 335 to let it through or
# 437 to refuse it. This one refuses articles whose Subject header contains
# WORD (the first argument, "spam" when none is given).
#   ExternalFilter = /bin/sh /path/to/filter-example.sh WORD
word=${1:-spam}
cr=$(printf '\r')
verdict=335
in_header=1
while IFS= read -r line; do
    line=${line%"$cr"}
    if [ "$line" = "." ]; then
        printf '%s\r\n' "$verdict"
        verdict=335
        in_header=1
    elif [ "$in_header" = 1 ]; then
        case $line in
            "") in_header=0 ;;
            [Ss][Uu][Bb][Jj][Ee][Cc][Tt]:*"$word"*) verdict=437 ;;
        esac
    fi
done
