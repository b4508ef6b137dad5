# scripts/bench's peers section, sourced by it: every contender side by
# side, with the script's null-modems, far ends and helpers (line_jvm,
# peer_line, $work). Fills peer_table, and sets sp_why and rounds for its report.
#
# Every contender side by side, on the same ptys and the same far ends: C's
# read(2)/write(2), SerialLine, jSSC, pyserial, libserialport, node's
# serialport and RXTX, alternated in each round; each ratio is against C in
# the same round, and the cell its median over the rounds.
rounds=${RUVEK_BENCH_ROUNDS:-7}
echo "building the peers' drivers ..." >&2
cc -O2 -Wall -Wextra -Werror -o build/linux/libserialport_bench bench/peers/libserialport_bench.c -lserialport -pthread
cc -O2 -Wall -Wextra -Werror -shared -fPIC -o build/linux/modem_shim.so bench/peers/modem_shim.c -ldl
javac -Xlint:all -Werror -cp build/linux/classes:/usr/share/java/jssc.jar -d build/linux/peer-bench-classes \
    bench/StartBench.java
# libserialport opens only /dev/NAME with a /sys/class/tty/NAME: the pty
# is bound over /dev/ttyS0 in a mount namespace of this run's own.
sp_why=""
if [ "$(id -u)" != 0 ] || [ ! -e /dev/ttyS0 ] || [ ! -e /sys/class/tty/ttyS0 ]; then
    sp_why="needs root and a /dev/ttyS0 to bind the pty over"
fi
# contender_run CONTENDER MODE: one run's value(s), from the third word on; "-" when it can't run.
contender_run() {
    local who=$1 mode=$2 pair count
    case $mode in
        recv) pair=recv count=16777216 ;; send) pair=bench count=16777216 ;; rtt) pair=echo count=2000 ;;
        idle) pair=bench count=5000 ;; wake) pair=bench count=300 ;; close) pair=bench count=9 ;;
    esac
    local ours="$work/$pair-ours" peer="$work/$pair-peer" num
    case $pair in bench) num=41 ;; echo) num=42 ;; recv) num=44 ;; esac
    local out
    out=$(case $who in
        c) case $mode in recv | send) mode=$mode-bulk ;; esac
            build/linux/native_bench "$mode" raw "$ours" "$peer" 0 "$count" ;;
        ruvek) line_jvm "line-$mode" "$num" "$peer" "$count" ;;
        # The JVM's own floor: a thread blocked in FileInputStream.read(), read(2) through the JDK's native.
        jvm) [ "$mode" = wake ] || exit 0
            line_jvm raw-wake "$num" "$peer" "$count" "$ours" ;;
        jssc) peer_line jssc "$mode" "$pair" "$count" ;;
        pyserial) /usr/bin/python3 bench/peers/pyserial_bench.py "$mode" "$ours" "$peer" "$count" ;;
        node) node bench/peers/node_bench.js "$mode" "$ours" "$peer" "$count" ;;
        libserialport)
            if [ -n "$sp_why" ]; then echo "$mode libserialport -"; exit 0; fi
            unshare --mount sh -c 'mount --bind "$2" /dev/ttyS0 && exec env LD_PRELOAD="$5" "$6" "$1" /dev/ttyS0 "$3" "$4"' \
                - "$mode" "$(readlink -f "$ours")" "$peer" "$count" "$PWD/build/linux/modem_shim.so" \
                build/linux/libserialport_bench ;;
    esac 2>>"$work/peers.log" | tail -n 1 | cut -d' ' -f3-) || out=""
    echo "${out:--}"
}
contenders=(c jvm ruvek jssc pyserial libserialport node)
modes=(recv send rtt idle wake close)
declare -A got=()
# start_run WHAT: ms of one whole process: a bare JVM, or one that loads, opens and echoes a byte.
start_run() {
    local s e
    s=$(date +%s%N)
    case $1 in
        bare) java -cp build/linux/peer-bench-classes StartBench bare ;;
        ruvek) java -cp build/linux/peer-bench-classes:build/linux/ruvek.jar StartBench ruvek "$work/echo-ours" ;;
        jssc) java -Djava.library.path=/usr/lib/jni -cp build/linux/peer-bench-classes:/usr/share/java/jssc.jar \
            StartBench jssc "$(readlink -f "$work/echo-ours")" ;;
    esac >/dev/null 2>>"$work/peers.log" || { echo -; return; }
    e=$(date +%s%N)
    awk -v n=$((e - s)) 'BEGIN {printf "%.1f", n / 1e6}'
}
for ((round = 1; round <= rounds; round++)); do
    echo "measuring the peers: round $round of $rounds ..." >&2
    for mode in "${modes[@]}"; do
        for who in "${contenders[@]}"; do
            got[$who,$mode]+="$(contender_run "$who" "$mode" | tr ' ' ,) "
        done
    done
    for i in 1 2 3; do
        for who in bare ruvek jssc; do got[$who,start]+="$(start_run "$who") "; done
    done
done
declare -p got >build/bench-peers-raw.txt # every run's figures, as measured
# RXTX: what it does when it reads, and its send.
rxtx_run() {
    (cd "$work" && java -XX:ErrorFile="$work/rxtx-hs_err.log" -Djava.library.path=/usr/lib/jni \
        -Dgnu.io.rxtx.SerialPorts="$(readlink -f "$work/$2-ours")" \
        -cp "$peer_jars:$OLDPWD/build/linux/peer-bench-classes" PeerBench rxtx "$1" "$(readlink -f "$work/$2-ours")" - 16777216) \
        2>>"$work/peers.log" | cut -d' ' -f3
}
rxtx_send=$(rxtx_run send bench || true)
rm -f "$work/rxtx-hs_err.log"
rxtx_recv=$(rxtx_run recv recv || true)
# A crash prints its report where the figure would be.
[[ $rxtx_recv =~ ^[0-9]+(\.[0-9]+)?$ ]] || rxtx_recv=""
[[ $rxtx_send =~ ^[0-9]+(\.[0-9]+)?$ ]] || rxtx_send=""
if [ -z "$rxtx_recv" ] && [ -f "$work/rxtx-hs_err.log" ]; then
    frame=$(grep -m1 '^C  \[' "$work/rxtx-hs_err.log" | sed 's/.*\]  //; s/+0x.*//')
    signal=$(grep -m1 -o 'SIG[A-Z]*' "$work/rxtx-hs_err.log" | head -n 1)
    rxtx_recv="crashes the JVM (${signal:-a signal} in ${frame:-its native})"
fi

# values WHO MODE [FIELD]: that field (default 1) of each round's run, one a line; "-" skipped.
values() { tr ' ' '\n' <<<"${got[$1,$2]:-}" | grep . | cut -d, -f"${3:-1}" | grep -v -- '^-$' | grep -v never || true; }
med() { sort -g | awk '{v[NR] = $1} END {if (NR) printf "%s", v[int((NR + 1) / 2)]}'; }
# versus WHO MODE BASE FIELD: the median over rounds of WHO's value over BASE's in the same round.
versus() {
    paste -d' ' <(tr ' ' '\n' <<<"${got[$1,$2]}" | grep . | cut -d, -f"${4:-1}") \
        <(tr ' ' '\n' <<<"${got[$3,$2]}" | grep . | cut -d, -f1) |
        awk '$1 ~ /^[0-9.]+$/ && $2 ~ /^[0-9.]+$/ && $2 > 0 {print $1 / $2}' | med
}
fmt() { awk -v x="$1" -v s="$2" 'BEGIN {if (x == "") print "-"; else printf(s, x)}'; }
cell() { # WHO MODE SCALE FORMAT: median and ratio to C
    local v r
    v=$(values "$1" "$2" | awk -v k="$3" '{print $1 * k}' | med)
    [ -n "$v" ] || { grep -q never <<<"${got[$1,$2]:-}" && echo "never" || echo "-"; return; }
    r=$(versus "$1" "$2" c)
    if [ "$1" = c ] || [ -z "$r" ]; then fmt "$v" "$4"; else echo "$(fmt "$v" "$4") ($(fmt "$r" "%.2f"))"; fi
}
declare -A names=([c]="C \`read(2)\`/\`write(2)\`" [jvm]="a JVM thread in \`FileInputStream.read()\`" [ruvek]="**ruvek \`SerialLine\`**" [jssc]="jSSC 2.8"
    [pyserial]="pyserial $(/usr/bin/python3 -c 'import serial; print(serial.__version__)' 2>/dev/null)"
    [libserialport]="libserialport $(dpkg-query -W -f='${Version}' libserialport0 2>/dev/null | cut -d- -f1)"
    [node]="node serialport $(node -p 'require("'"$PWD"'/build/bench-node/node_modules/serialport/package.json").version' 2>/dev/null)")
for who in "${contenders[@]}"; do
    close=$(cell "$who" close 1 "%.3f ms")
    if [ "$who" = ruvek ]; then close="$close; $(fmt "$(values ruvek close 2 | med)" "%.3f") ms the first time"; fi
    if [ "$who" = c ]; then close="never (a wake pipe: $close)"; fi
    start=-
    if [ "$who" = ruvek ] || [ "$who" = jssc ]; then
        start="$(fmt "$(values "$who" start | med)" "%.1f ms") ($(fmt "$(versus "$who" start bare)" "%.2f")x a bare JVM's $(fmt "$(values bare start | med)" "%.1f ms"))"
    fi
    peer_table+=("| ${names[$who]} | $(cell "$who" recv 1e-6 "%.1f") | $(cell "$who" send 1e-6 "%.1f") | $(cell "$who" rtt 1 "%.1f µs") | $(cell "$who" idle 1e4 "%.0f ppm" | sed 's/ (.*//') | $(cell "$who" wake 1 "%.1f µs") | $close | $start |")
done
peer_table+=("| RXTX 2.2 | ${rxtx_recv:--} | $(fmt "$(awk '{print $1 * 1e-6}' <<<"${rxtx_send:-}")" "%.1f") | - | - | - | - | - |")
