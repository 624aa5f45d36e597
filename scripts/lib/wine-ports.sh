# Wine's COM ports in a private prefix, for the programs that reach the simulated logger through
# COM5. Source it; it defines functions only.

# wine_only_com5 PREFIX LINK: the mount manager makes the prefix's port links shortly after its
# server starts. Waits until COM5 points at LINK and the set of links has stopped changing, then
# unlinks every port but COM5 (Wine maps the machine's /dev/ttyS* to free COM numbers), so that
# nothing in the prefix can reach a real UART. False when COM5 does not point at LINK.
wine_only_com5() {
    local prefix=$1 want=$2 i links last=x link
    for ((i = 0; i < 100; i++)); do
        links=""
        for link in "$prefix"/dosdevices/com*; do
            [ -L "$link" ] && links+="$link -> $(readlink "$link"); "
        done
        if [ "$(readlink "$prefix/dosdevices/com5" || true)" = "$want" ] &&
            [ "$links" = "$last" ]; then
            break
        fi
        last=$links
        sleep 0.25
    done
    [ "$(readlink "$prefix/dosdevices/com5" || true)" = "$want" ] || return 1
    for link in "$prefix"/dosdevices/com*; do
        if [ ! -L "$link" ] || [ "${link##*/}" = com5 ]; then
            continue
        fi
        echo "unlinked ${link##*/} -> $(readlink "$link"): no real serial device in this prefix"
        rm -f "$link"
    done
}

# wine_prefix_com5 PREFIX LINK: the prefix (the exported WINEPREFIX) booted with COM5 on LINK: the
# port key is written, COM1-COM4 disabled, the server stopped and started again, and every other
# port unlinked (wine_only_com5). LINK points at /dev/null until a simulator takes it over.
# Status 2 when Wine cannot start the prefix, 1 when COM5 is not mapped to LINK.
wine_prefix_com5() {
    local prefix=$1 link=$2 ports='HKLM\Software\Wine\Ports' n
    ln -sfn /dev/null "$link"
    wineboot -i >/dev/null 2>&1 || true
    wine reg add "$ports" /v COM5 /t REG_SZ /d "$link" /f >/dev/null 2>&1 || return 2
    for n in 1 2 3 4; do
        wine reg add "$ports" /v "COM$n" /t REG_SZ /d "" /f >/dev/null
    done
    wineserver -k
    wineserver -w
    wine reg delete 'HKCU\Software\Orlenta' /f >/dev/null 2>&1 || true # starts the server again
    wine_only_com5 "$prefix" "$link"
}
