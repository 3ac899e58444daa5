"""Figure 8: kivgate end to end (bench/gateway_bench.py's JSON): the latency
from a change in kivsim to the message at a subscriber, and the CPU per
channel at a 19200-baud scan beside kivpoll doing the same reads. Shown
with no budget of their own."""

from .figures import fmt, table


def latency_rows(latency):
    rows = []
    for key, label in (("exception", "by exception (a gate only the unit's reports update)"),
                       ("poll", "polled every %s ms" % latency.get("poll", {}).get("interval_ms", "?"))):
        s = latency.get(key)
        if s:
            rows.append([label, str(s["n"])] + [fmt(s[k], 1) for k in ("min_ms", "median_ms", "p95_ms", "max_ms")])
    return rows


def scan_rows(scan):
    rows = []
    labels = {"kivgate": "kivgate (one process for every line, publishing each read)",
              "kivpoll": "kivpoll (one process per line, -n 0 -i 0, the same reads)"}
    for who in ("kivgate", "kivpoll"):
        s = scan.get(who)
        if s:
            rows.append([labels[who], fmt(s["reads_per_s_per_channel"], 1), fmt(s["cpu_s_per_channel_per_min"], 3),
                         fmt(s["cpu_ms_per_1000_reads"], 1), fmt(s["wall_s"], 0)])
    gate, poll = scan.get("kivgate"), scan.get("kivpoll")
    if gate and poll and poll["cpu_s_per_channel_per_min"] and poll["cpu_ms_per_1000_reads"]:
        rows.append(["kivgate / kivpoll",
                     fmt(gate["reads_per_s_per_channel"] / poll["reads_per_s_per_channel"], 3),
                     fmt(gate["cpu_s_per_channel_per_min"] / poll["cpu_s_per_channel_per_min"], 2),
                     fmt(gate["cpu_ms_per_1000_reads"] / poll["cpu_ms_per_1000_reads"], 2), ""])
    return rows


def figures(data, v):
    """The template's gw_* placeholders; key figures into v."""
    if not data:
        v.add("8 kivgate end to end", "not measured", "measured", False, fatal=True)
        return {"gw_latency_table": "Not measured: bench/gateway_bench.py wrote no figures.", "gw_scan_table": ""}
    latency, scan = data.get("latency", {}), data.get("scan", {})
    values = {
        "gw_latency_table": table(["path", "changes", "min ms", "median ms", "95th percentile ms", "max ms"],
                                  latency_rows(latency)),
        "gw_scan_table": table(["program", "reads/s per line", "CPU s per channel per minute",
                                "CPU ms per 1000 reads", "measured s"], scan_rows(scan)),
        "gw_channels": scan.get("channels", "?"), "gw_registers": scan.get("registers", "?"),
        "gw_poll_ms": latency.get("poll", {}).get("interval_ms", "?"),
        "gw_broker_cpu": fmt(scan.get("kivgate", {}).get("broker_cpu_s_per_min"), 3),
    }
    for key, label in (("exception", "kivgate latency by exception"), ("poll", "kivgate latency polled")):
        s = latency.get(key)
        if s:
            v.key(label + ", median / p95", "%.1f / %.1f ms" % (s["median_ms"], s["p95_ms"]))
    gate, poll = scan.get("kivgate"), scan.get("kivpoll")
    if gate and poll:
        v.key("CPU s per channel per minute at a 19200 scan, kivgate / kivpoll",
              "%.3f / %.3f" % (gate["cpu_s_per_channel_per_min"], poll["cpu_s_per_channel_per_min"]))
    return values
