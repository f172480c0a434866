# Turns raw.txt (one line of key=value pairs per run) into the results table:
# medians over rounds, ratios taken round by round and then their median,
# and each relay's spread over rounds. Writes the chart's data to `chart`.
# When a run had a baseline relay (an older Velloran), every row also shows it
# and Velloran ÷ baseline, taken round by round like the other ratios.

{
    delete kv
    for (i = 1; i <= NF; i++) {
        p = index($i, "=")
        kv[substr($i, 1, p - 1)] = substr($i, p + 1)
    }
    t = kv["test"]; r = kv["relay"]; n = kv["round"] + 0
    if (r == "baseline") hasBaseline = 1
    if (n > rounds) rounds = n
    ok[t, r, n] = kv["result"] == "ok"
    if (!ok[t, r, n]) why[t, r] = kv["reason"]
    for (k in kv) val[t, r, n, k] = kv[k]
}

function sorted(list, a,    count, i, j, x) {
    count = split(list, a, " ")
    for (i = 2; i <= count; i++) {
        x = a[i] + 0
        for (j = i - 1; j >= 1 && a[j] + 0 > x; j--) a[j + 1] = a[j]
        a[j + 1] = x
    }
    return count
}

function median(list,    a, count) {
    count = sorted(list, a)
    if (count == 0) return ""
    if (count % 2) return a[(count + 1) / 2]
    return (a[count / 2] + a[count / 2 + 1]) / 2
}

# (max - min) / median over the rounds, in percent: how noisy the figure was.
function spread(list,    a, count, mid) {
    count = sorted(list, a)
    mid = median(list)
    if (count < 2 || mid == 0) return ""
    return sprintf("%.0f%%", 100 * (a[count] - a[1]) / mid)
}

function series(t, r, k,    n, s) {
    s = ""
    for (n = 1; n <= rounds; n++) if (ok[t, r, n]) s = s " " val[t, r, n, k]
    return s
}

# Round by round: figure k of (t1, r1) over figure k2 of (t2, r2).
function ratios(t1, r1, k, t2, r2, k2,    n, s) {
    s = ""
    for (n = 1; n <= rounds; n++)
        if (ok[t1, r1, n] && ok[t2, r2, n] && val[t2, r2, n, k2] + 0 != 0)
            s = s " " val[t1, r1, n, k] / val[t2, r2, n, k2]
    return s
}

function fmt(x) {
    if (x == "") return "n/a"
    if (x >= 100) return sprintf("%.0f", x)
    if (x >= 10) return sprintf("%.1f", x)
    return sprintf("%.2f", x)
}

function shown(t, r, k,    s, kept) {
    s = series(t, r, k)
    if (s == "") return "fail" (why[t, r] != "" ? " (" why[t, r] ")" : "")
    return fmt(median(s)) (split(s, kept, " ") < rounds ? " (" split(s, kept, " ") "/" rounds " ok)" : "")
}

function ratio(s) { return s == "" ? "–" : sprintf("%.2f×", median(s)) }

# The baseline's cells, or none in a run without one.
function beforeCells(t, k) {
    if (!hasBaseline) return ""
    return sprintf(" %s | %s |", shown(t, "baseline", k), ratio(ratios(t, "velloran", k, t, "baseline", k)))
}

function spreads(t, k) {
    return spread(series(t, "velloran", k)) " / " \
        (hasBaseline ? spread(series(t, "baseline", k)) " / " : "") spread(series(t, "peer", k))
}

function row(label, t, k, vsDirect) {
    printf "| %s | %s |%s %s | %s | %s | %s |\n", label, shown(t, "velloran", k), beforeCells(t, k), \
        shown(t, "peer", k), ratio(ratios(t, "velloran", k, t, "peer", k)), \
        vsDirect ? ratio(ratios(t, "velloran", k, "direct", "direct", "per_receiver_MBps")) " / " \
                   ratio(ratios(t, "peer", k, "direct", "direct", "per_receiver_MBps")) : "–", \
        spreads(t, k)
}

END {
    if (hasBaseline) {
        print "| Figure | Velloran | Baseline | Velloran ÷ baseline | Peer (ncat --broker) | Velloran ÷ peer | ÷ direct (Velloran / peer) | Spread over rounds (Velloran / baseline / peer) |"
        print "|---|---|---|---|---|---|---|---|"
    } else {
        print "| Figure | Velloran | Peer (ncat --broker) | Velloran ÷ peer | ÷ direct (Velloran / peer) | Spread over rounds (Velloran / peer) |"
        print "|---|---|---|---|---|---|"
    }
    printf "| direct: one loopback connection, no relay, MB/s | %s |%s | | | %s |\n", \
        shown("direct", "direct", "per_receiver_MBps"), hasBaseline ? " | |" : "", \
        spread(series("direct", "direct", "per_receiver_MBps"))
    row("throughput 1→1, MB/s", "thr1", "aggregate_MBps", 1)
    row("throughput 1→10, MB/s delivered in all", "thr10", "aggregate_MBps", 1)
    row("throughput 1→100, MB/s delivered in all", "thr100", "aggregate_MBps", 1)
    row("relay CPU s per GB delivered, 1→1", "thr1", "relay_cpu_s_per_GB", 0)
    row("relay CPU s per GB delivered, 1→10", "thr10", "relay_cpu_s_per_GB", 0)
    row("relay CPU s per GB delivered, 1→100", "thr100", "relay_cpu_s_per_GB", 0)
    for (n = 1; n <= 100; n *= 10) {
        row("latency p50 to the last of " n ", µs", "lat" n, "p50_us", 0)
        row("latency p99 to the last of " n ", µs", "lat" n, "p99_us", 0)
        row("latency max to the last of " n ", µs", "lat" n, "max_us", 0)
    }
    row("idle 1 000 clients: relay KB resident per client", "idle1000", "rss_kb_per_client", 0)
    row("idle 1 000 clients: relay threads per client", "idle1000", "threads_per_client", 0)
    row("idle 10 000 clients: relay KB resident per client", "idle10000", "rss_kb_per_client", 0)
    row("idle 10 000 clients: relay threads per client", "idle10000", "threads_per_client", 0)
    row("churn, 1 at a time: connections/s", "churn1", "connections_per_s", 0)
    row("churn, 8 at a time: connections/s", "churn8", "connections_per_s", 0)
    row("one chunk of 1000 B to 10 000 clients: ms until the last has it, p50 of 5", "fanout1000", "p50_ms", 0)
    row("one chunk of 1000 B to 10 000 clients: ms until the last has it, max of 5", "fanout1000", "max_ms", 0)
    row("one chunk of 65535 B to 10 000 clients: ms until the last has it, p50 of 5", "fanout65535", "p50_ms", 0)
    row("one chunk of 65535 B to 10 000 clients: ms until the last has it, max of 5", "fanout65535", "max_ms", 0)
    row("relay CPU ms per chunk of 1000 B to 10 000 clients", "fanout1000", "relay_cpu_ms_per_chunk", 0)
    row("relay CPU ms per chunk of 65535 B to 10 000 clients", "fanout65535", "relay_cpu_ms_per_chunk", 0)

    print "# receivers velloran_MBps peer_MBps velloran_p50_us peer_p50_us velloran_p99_us peer_p99_us" > chart
    for (n = 1; n <= 100; n *= 10)
        print n, median(series("thr" n, "velloran", "aggregate_MBps")), median(series("thr" n, "peer", "aggregate_MBps")), \
            median(series("lat" n, "velloran", "p50_us")), median(series("lat" n, "peer", "p50_us")), \
            median(series("lat" n, "velloran", "p99_us")), median(series("lat" n, "peer", "p99_us")) > chart
}
