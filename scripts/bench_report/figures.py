"""The figures: from the measurements to the tables and result texts that
fill the template's placeholders, one function per figure; each also adds
its verdict rows and key figures to a Verdicts."""

from . import verdicts as vd
from .inputs import measured

REQUEST_BYTES = 15
ANSWER_BYTES = 19
PLATFORM_CALLS = ("ReadFile", "WriteFile", "ClearCommError", "GetCommTimeouts", "SetCommTimeouts", "GetCommState",
                  "SetCommState", "GetCommModemStatus", "EscapeCommFunction", "GetLastError")


def fmt(value, digits=1):
    if value is None:
        return "n/a"
    if abs(value) >= 10000:
        return "{:,.0f}".format(value)
    return "{:.{}f}".format(value, digits)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def not_measured(entry):
    return "Not measured: %s" % (entry or {}).get("error_message", "benchmark missing")


def roundtrip(runs, perf, v):
    r = measured(runs, "BM_RoundTrip")
    budget = "<= %.2f x floor" % vd.ROUND_TRIP_BUDGET
    if r is None:
        v.add("1 round trip", "not measured", budget, False, fatal=True)
        return {"rt_table": not_measured(runs.get("BM_RoundTrip"))}
    rows = [[label, fmt(r[who + "_p50_us"]), fmt(r[who + "_p90_us"]), fmt(r[who + "_p99_us"]),
             fmt(r[who + "_mean_us"]), fmt(r[who + "_user_us"], 2), fmt(r[who + "_sys_us"], 2)]
            for who, label in (("driver", "driver (`KivMain` Read)"), ("floor", "floor (bare exchange)"))]
    ratio = r["ratio_p50"]
    rows.append(["ratio driver / floor", fmt(ratio, 3)] +
                [fmt(r["driver_%s_us" % k] / r["floor_%s_us" % k], 3) for k in ("p90", "p99", "mean")] + ["", ""])
    result = "%.3f x floor (median %.1f us vs %.1f us)" % (ratio, r["driver_p50_us"], r["floor_p50_us"])
    v.add("1 round trip", result, budget, vd.round_trip_holds(ratio))
    v.key("round trip, median driver / floor", "%.3f (%.1f / %.1f us)" % (ratio, r["driver_p50_us"],
                                                                        r["floor_p50_us"]))
    v.key("round trip, caller CPU user + kernel us", "%.2f + %.2f (floor %.2f + %.2f)" % (
        r["driver_user_us"], r["driver_sys_us"], r["floor_user_us"], r["floor_sys_us"]))
    return {
        "rt_table": table(["%d round trips each" % r["iterations"], "median us", "p90 us", "p99 us", "mean us",
                           "caller user CPU us", "caller kernel CPU us"], rows),
        "rt_result": "%.3f x, %s" % (ratio, vd.word(vd.round_trip_holds(ratio))),
        "rt_detail": "%d failed exchanges, %d driver fault messages; %.2f cores busy outside the process." % (
            r["failures"], r["fault_log_lines"], r.get("others_cores_busy", 0)),
        "rt_steps": roundtrip_steps(measured(runs, "BM_RoundTripSteps")),
        "rt_perf": "Where the process's CPU time goes (perf, cpu-clock samples, kernel included):\n\n```\n%s\n```"
                   % "\n".join(perf) if perf else "",
    }


def roundtrip_steps(steps):
    if steps is None:
        return ""
    legs = [("floor: write, poll, read", "floor_p50_us"),
            ("+ a query of the input queue before the write (FIONREAD)", "queue_query_p50_us"),
            ("+ the driver's poll beside its close-wake pipe, a read of up to 512 bytes", "driver_calls_p50_us"),
            ("driver", "driver_p50_us")]
    rows, previous = [], None
    for label, key in legs:
        if key in steps:
            rows.append([label, fmt(steps[key], 2), "" if previous is None else "%+.2f" % (steps[key] - previous)])
            previous = steps[key]
    return ("The floor with the driver's kernel calls added one kind at a time (%d iterations, the variants in "
            "rotating order):\n\n%s" % (steps["iterations"], table(["round trip", "median us", "step us"], rows)))


def instructions_per_read(driver, reads):
    return driver["KivMain"] / reads if "KivMain" in driver else None


def cpu_split(driver, floor, reads):
    """Instructions per Read: (framing and CRC, platform layer, whole Read, floor)."""
    total = instructions_per_read(driver, reads)
    framing = (driver.get("EncodeFrameWith", 0) + driver.get("CheckFrameBlocks", 0)) / reads
    platform = sum(driver.get(name, 0) for name in PLATFORM_CALLS) / reads
    return framing, platform, total, floor.get("KivBenchMeasuredBare", 0) / reads


def cpu(driver, floor, driver_self, reads, budget, v):
    limit = vd.instruction_limit(budget)
    values = {"cpu_reads": reads, "cpu_budget": budget["instructions_per_read"],
              "cpu_budget_set": budget.get("set", "?"), "cpu_margin": "%.0f" % (100 * budget["margin"]),
              "cpu_limit": "%.0f" % limit}
    if instructions_per_read(driver, reads) is None:
        v.add("2 CPU per request", "not measured", "budget file", False, fatal=True)
        return dict(values, cpu_table="Not measured: no callgrind profile.", cpu_result="not measured")
    framing, platform, total, bare = cpu_split(driver, floor, reads)
    exchange = total - framing - platform
    rows = [["framing and CRC", framing], ["exchange (dispatch, request, answer checks, port layer)", exchange],
            ["**the driver's own code** (framing, CRC, exchange)", framing + exchange],
            ["platform layer (POSIX stand-in and C library)", platform], ["**one Read through KivMain**", total]]
    rows = [[label, fmt(value, 0), "%.0f %%" % (100 * value / total)] for label, value in rows]
    rows.append(["floor: bare exchange", fmt(bare, 0), ""])
    held = total <= limit
    v.add("2 CPU per request", "%.0f instructions per Read (%.1f x the floor's %.0f)" % (
        total, total / bare if bare else 0, bare), "<= %d x %.2f = %.0f" % (
        budget["instructions_per_read"], 1 + budget["margin"], limit), held, fatal=True)
    v.key("instructions per Read (callgrind)", "%.0f" % total)
    v.key("  of which the driver's own code", "%.0f" % (framing + exchange))
    v.key("  of which the platform layer", "%.0f" % platform)
    own = sorted(((cost / reads, name) for name, cost in driver_self.items()
                  if not name.startswith("KivBench")), reverse=True)[:12]
    return dict(values, cpu_table=table(["instructions per Read", "Ir", "share"], rows),
                cpu_result="%.0f, %s" % (total, vd.word(held)),
                cpu_self_table=table(["function", "Ir per Read (self)", "share"],
                                     [["`%s`" % name, fmt(cost, 0), "%.0f %%" % (100 * cost / total)]
                                      for cost, name in own]))


HEAP_KINDS = [("read", "Read, one register"), ("read_bit", "Read, one bit"), ("write", "Write, one register"),
              ("write_bit", "Write, one bit"), ("read_block10", "ReadBlock, 10 registers"),
              ("write_block10", "WriteBlock, 10 registers"), ("set_clock", "Write !T (set clock)"),
              ("fetch_changes", "Read !R (register changes)"), ("fetch_status", "Read !S (status events)"),
              ("fetch_logged", "Read !L (logged events)"), ("fetch_status_tz_set", "Read !S, TZ set"),
              ("fetch_logged_tz_set", "Read !L, TZ set")]


def heap_measurements(runs):
    """({kind: (allocations per request, TZ set)}, table rows, all measured)."""
    found, rows, complete = {}, [], True
    for key, label in HEAP_KINDS:
        r = measured(runs, "BM_Heap/" + key)
        if r is None:
            rows.append([label, "not measured", ""])
            complete = False
            continue
        found[key] = (r["allocs_per_request"], bool(r.get("tz_set")))
        rows.append([label, fmt(r["allocs_per_request"], 2), ("TZ set" if r.get("tz_set") else "TZ unset") +
                     ("; %d failed" % r["failures"] if r["failures"] else "")])
    rt = measured(runs, "BM_RoundTrip")
    if rt:
        found["roundtrip"] = (rt["allocs_per_read"], True)
        rows.append(["Read, figure 1 rig (%d reads)" % rt["iterations"], fmt(rt["allocs_per_read"], 2), ""])
    for tick in (20, 5):
        e = measured(runs, "BM_ExceptionLatency/%d" % tick)
        if e:
            found["listener_change_%d" % tick] = (e["listener_allocs_per_change_notice"], True)
            rows.append(["listener: register change notice (tick %d ms)" % tick,
                         fmt(e["listener_allocs_per_change_notice"], 2), "acknowledge, fetch, gate write"])
            rows.append(["listener: status event notice (tick %d ms)" % tick,
                         fmt(e["listener_allocs_per_status_notice"], 2), "TZ as the environment has it"])
    return found, rows, complete


def heap(runs, v):
    found, rows, complete = heap_measurements(runs)
    held, clean = vd.heap_verdict(found)
    held, clean = held and complete, clean and complete
    if held:
        result = "0 allocations per request"
    elif clean:
        result = "0 in the driver's code; with TZ unset, glibc's mktime allocates per status or logged event"
    else:
        result = "allocations in the driver's code" if complete else "not all measured"
        v.fatal.append("3 heap: %s" % result)
    v.add("3 heap", result, "exactly 0", held)
    v.key("heap allocations per request", result)
    return {"heap_table": table(["request", "allocations per request", "note"], rows), "heap_result": result}


def crc(runs, v):
    def rate(name):
        r = runs.get(name + "@median")
        return r["bytes_per_second"] / 1e6 if r and "bytes_per_second" in r else None

    rows = [["CRC, %d-byte blocks" % block] + [fmt(rate("BM_Crc%s/%d" % (kind, block)))
                                               for kind in ("Table", "Bitwise", "Boost")] for block in (16, 256)]
    rows.append(["encode + check, message of 255 bytes"] + [fmt(rate("BM_Frame" + kind))
                                                            for kind in ("Driver", "Bitwise", "Boost")])
    paired = measured(runs, "BM_CrcVersusBoost/16")
    budget = ">= %.1f x Boost.CRC" % vd.CRC_BUDGET
    if paired is None:
        v.add("4 CRC", "Boost.CRC not available", budget, None)
        result = "not judged: Boost.CRC was not found (install libboost-dev)"
    else:
        ratio = paired["table_vs_boost"]
        text = "%.3f x Boost.CRC on 16-byte blocks (%.0f vs %.0f MB/s)" % (ratio, paired["table_mb_s"],
                                                                          paired["boost_mb_s"])
        result = "%s, %s" % (text, v.add("4 CRC", text, budget, vd.crc_holds(ratio)))
    return {"crc_table": table(["MB/s", "driver (table)", "bitwise reference", "Boost.CRC"], rows),
            "crc_result": result}


def line(runs, v):
    rows, budget = [], ">= %.1f %% of the floor at 115200" % (100 * vd.LINE_BUDGET)
    result = "not measured"
    for baud in (19200, 115200):
        d, b = measured(runs, "BM_LineDriver/%d" % baud), measured(runs, "BM_LineBare/%d" % baud)
        if d is None or b is None:
            rows.append([str(baud), "not measured"] + [""] * 6)
            continue
        versus = d["polls_per_s"] / b["polls_per_s"]
        rows.append([str(baud), fmt(d["wire_polls_per_s"]), fmt(d["polls_per_s"]), "%.1f %%" % (100 * d["share"]),
                     "%.1f %%" % (100 * b["share"]), "**%.3f**" % versus,
                     "%s / %s" % (fmt(d["p50_us"], 0), fmt(d["p99_us"], 0)), fmt(d.get("others_cores_busy", 0), 2)])
        if baud == 115200:
            text = "%.1f %% of the floor's polls at 115200 (driver %.1f %%, floor %.1f %% of the wire)" % (
                100 * versus, 100 * d["share"], 100 * b["share"])
            result = "%s, %s" % (text, v.add("5 line efficiency", text, budget, vd.line_holds(versus)))
            v.key("line efficiency at 115200, driver / floor polls/s", "%.3f (driver %.1f %%, floor %.1f %% of "
                  "the wire)" % (versus, 100 * d["share"], 100 * b["share"]))
    if result == "not measured":
        v.add("5 line efficiency", result, budget, False)
    return dict(line_console(runs, v),
                line_table=table(["baud", "wire limit polls/s", "driver polls/s", "driver share of the wire",
                                  "floor share of the wire", "driver / floor polls/s", "driver median / p99 us",
                                  "cores busy outside the process"], rows),
                line_result=result, line_budget="%.1f" % (100 * vd.LINE_BUDGET))


def line_console(runs, v):
    """The driver's polls with kivsim's console page open and streaming
    against without it: an aim, shown beside the figure, that fails
    nothing."""
    name = "BM_LineDriverConsole/115200"
    c = measured(runs, name)
    aim = "%.0f" % (100 * vd.CONSOLE_AIM)
    if c is None:
        return {"line_console_table": not_measured(runs.get(name)), "line_console_result": "not measured",
                "line_console_aim": aim}
    share = c["console_share"]
    row = ["115200", fmt(c["closed_polls_per_s"]), fmt(c["polls_per_s"]), "**%.1f %%**" % (100 * share),
           "%s / %s" % (fmt(c["p50_us"], 0), fmt(c["p99_us"], 0)), "%.0f" % c.get("page_requests", 0),
           fmt(c.get("others_cores_busy", 0), 2)]
    v.key("line efficiency at 115200 with the console page open, x without", "%.3f" % share)
    result = "%.1f %% of the polls without the page (%s against %s polls/s): aim %s" % (
        100 * share, fmt(c["polls_per_s"]), fmt(c["closed_polls_per_s"]),
        "met" if vd.console_aim_met(share) else "**not met**")
    return {"line_console_table": table(["baud", "driver polls/s, page closed", "driver polls/s, page streaming",
                                         "streaming / closed", "median / p99 us streaming", "page requests",
                                         "cores busy outside the process"], [row]),
            "line_console_result": result, "line_console_aim": aim}


SCALE_COUNTS = (1, 16, 64, 99)
SCALE_FLOOR_COUNTS = (1, 99)  # the same lines polled by bare exchanges: the floor


def scale_row(n, r, label=None):
    return [label or str(n), "%s / %s / %s" % (fmt(r["scan_per_s_min"], 2), fmt(r["scan_per_s_median"], 2),
                                      fmt(r["scan_per_s_max"], 2)),
            "**%.1f %%**" % (100 * r["share_min"]), "%.1f %%" % (100 * r["share_min_rig_on_time"]),
            "**%.2f %%**" % (100 * r["driver_cpu_core_share"]),
            "%s (%s)" % (fmt(r["driver_cpu_us_per_poll"], 1), fmt(r.get("driver_user_us_per_poll"), 1)),
            "%.2f %%" % (100 * r["responder_cpu_core_share"]), fmt(r["responder_late_us_per_poll"], 0),
            fmt(r.get("others_cores_busy", 0), 2)]


def scale_verdicts(r, v):
    n = vd.SCALE_CHANNELS
    if r is None:
        v.add("6 scan rate", "not measured", "", False)
        v.add("6 driver CPU", "not measured", "", False)
        return "not measured"
    scan_held = vd.scan_holds(r["share_min"])
    cpu_held = vd.driver_cpu_holds(r["driver_cpu_core_share"])
    scan = "%d channels: slowest %.1f %% of the wire limit" % (n, 100 * r["share_min"])
    cpu_text = "%d channels: %.2f %% of one core" % (n, 100 * r["driver_cpu_core_share"])
    v.add("6 scan rate", scan, ">= %.0f %% of the wire limit, each channel" % (100 * vd.SCAN_BUDGET), scan_held)
    v.add("6 driver CPU", cpu_text, "<= %.0f %% of one core" % (100 * vd.DRIVER_CPU_BUDGET), cpu_held)
    v.key("%d channels at 19200: slowest channel's share of the wire limit" % n, "%.1f %%" % (100 * r["share_min"]))
    v.key("%d channels at 19200: driver CPU, share of one core" % n, "%.2f %%" % (100 * r["driver_cpu_core_share"]))
    return "the slowest channel at %.1f %% of its wire limit, %s; the driver's CPU %.2f %% of one core, %s" % (
        100 * r["share_min"], vd.word(scan_held), 100 * r["driver_cpu_core_share"], vd.word(cpu_held))


def scale(runs, v):
    rows, any_run = [], None
    for n in SCALE_COUNTS:
        r = measured(runs, "BM_Scale/%d" % n)
        rows.append(scale_row(n, r) if r else [str(n), "not measured"] + [""] * 7)
        any_run = any_run or r
    for n in SCALE_FLOOR_COUNTS:
        r = measured(runs, "BM_ScaleFloor/%d" % n)
        if r:
            rows.append(scale_row(n, r, "%d, bare exchanges" % n))
    any_run = any_run or {}
    return {
        "scale_table": table(["channels", "scan polls/s per channel (min / median / max)",
                              "slowest channel, share of the wire limit",
                              "the same, the responders' lateness taken off", "driver CPU, share of one core",
                              "driver CPU us per poll (of it in user space)", "responders' CPU, share of one core",
                              "responders late us per poll",
                              "cores busy outside the process"], rows),
        "scale_result": scale_verdicts(measured(runs, "BM_Scale/%d" % vd.SCALE_CHANNELS), v),
        "scale_counts": ", ".join(str(n) for n in SCALE_COUNTS),
        "scale_limit": fmt(any_run.get("wire_limit_per_s"), 2),
        "scale_turnaround": fmt(any_run.get("turnaround_ms"), 0),
        "scale_burst": fmt(any_run.get("burst_bytes"), 0),
        "scale_realtime": "yes" if any_run.get("responders_realtime") else "no",
        "scale_channels": vd.SCALE_CHANNELS, "scan_budget": "%.0f" % (100 * vd.SCAN_BUDGET),
        "cpu_share_budget": "%.0f" % (100 * vd.DRIVER_CPU_BUDGET),
    }


def exception(runs, v):
    rows, held, worst = [], True, None
    for tick in (20, 5):
        e = measured(runs, "BM_ExceptionLatency/%d" % tick)
        if e is None:
            rows.append([str(tick), "not measured"] + [""] * 6)
            held = False
            continue
        rows.append([str(tick)] + [fmt(e[k], 2) for k in ("min_ms", "p50_ms", "mean_ms", "p90_ms", "p99_ms",
                                                          "max_ms")] +
                    ["%.2f / %.2f" % (e["p50_ms"] / tick, e["p99_ms"] / tick)])
        held = held and vd.exception_holds(e["p99_ms"], tick, e["failures"])
        if worst is None or e["p99_ms"] / tick > worst["p99_ms"] / worst["tick_ms"]:
            worst = e
    if worst:
        v.add("7 exception latency", "p99 %.2f ms at a %d ms tick" % (worst["p99_ms"], worst["tick_ms"]),
              "p99 <= tick + %.0f ms" % vd.EXCEPTION_SLACK_MS, held)
        v.key("exception latency p99 at a %d ms tick" % worst["tick_ms"], "%.2f ms" % worst["p99_ms"])
    return {"exc_table": table(["wait tick ms", "min ms", "median ms", "mean ms", "p90 ms", "p99 ms", "max ms",
                                "median / tick, p99 / tick"], rows),
            "exc_result": vd.word(held), "exc_slack": "%.0f" % vd.EXCEPTION_SLACK_MS}


def before_after(before, figures, run, load):
    """The key figures of an earlier run beside this one's."""
    if not before:
        return ""
    earlier = dict(before.get("figures", []))
    now = dict(figures)
    labels = [label for label, _ in before.get("figures", [])] + [label for label, _ in figures
                                                                   if label not in earlier]
    rows = [[label, earlier.get(label, ""), now.get(label, "")] for label in labels]
    rows.append(["load average at the start", ", ".join("%.2f" % x for x in before.get("load", [])),
                 ", ".join("%.2f" % x for x in load)])
    return "## Before and after\n\n%s Times move with the machine's load; instruction and allocation counts do " \
           "not.\n\n%s" % (before.get("what", "The key figures of an earlier run beside this one's."),
                           table(["figure", "before (%s)" % before.get("run", "?")[:16], "after (%s)" % run[:16]],
                                 rows))
