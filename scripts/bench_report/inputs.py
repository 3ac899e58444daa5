"""What the report reads: kiv_bench's JSON, callgrind listings, the perf
profile, the budget file, an earlier run's summary and the machine."""

import datetime
import json
import os
import platform
import re
import subprocess


def load_benchmarks(path):
    """(context, runs): runs maps a name to its entry; names lose
    /iterations:N, /repeats:N and /manual_time, aggregates get @mean,
    @median, ..."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for entry in data.get("benchmarks", []):
        name = entry.get("run_name", entry["name"])
        name = re.sub(r"/(iterations|repeats):\d+", "", name).replace("/manual_time", "")
        if entry.get("run_type") == "aggregate":
            name += "@" + entry.get("aggregate_name", "")
        runs[name] = entry
    return data.get("context", {}), runs


def measured(runs, name):
    """The entry of a benchmark that ran, else None."""
    entry = runs.get(name)
    return entry if entry and not entry.get("error_occurred") else None


CALLGRIND_LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*?)\s*$")


def function_name(text):
    """'file:function [object]' -> the bare function name."""
    text = re.sub(r"\s+\[[^\]]*\]$", "", text)
    match = re.match(r"^(\?\?\?|[^:]*?\.[A-Za-z]+|\./[^:]*):(.*)$", text)
    name = match.group(2) if match else text
    name = name.replace("(anonymous namespace)::", "").split("@@")[0]
    return name.split("(")[0] if not name.startswith("(") else name


def load_callgrind(path):
    """function -> cost from a callgrind_annotate listing ({} when absent)."""
    costs = {}
    if not os.path.exists(path):
        return costs
    with open(path) as f:
        for line in f:
            match = CALLGRIND_LINE.match(line)
            if match and "PROGRAM TOTALS" not in line:
                name = function_name(match.group(2))
                costs[name] = costs.get(name, 0) + int(match.group(1).replace(",", ""))
    return costs


def load_perf(path, lines=20):
    if not path or not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.rstrip() for line in f if line.strip()][:lines]


def load_json(path):
    if not path or not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def new_budget(instructions):
    return {"instructions_per_read": round(instructions), "margin": 0.05,
            "set": datetime.date.today().isoformat(),
            "note": "one-register Read through KivMain, callgrind Ir inclusive of KivMain; "
                    "make bench fails when a measurement exceeds it by more than the margin"}


def save_json(path, data):
    with open(path, "w") as f:
        json.dump(data, f, indent=2)
        f.write("\n")


def _first_line_after(path, prefix):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(prefix):
                    return line.split(prefix[-1], 1)[1].strip()
    except OSError:
        pass
    return None


def compiler(build_dir):
    """(version line, build type, flags of that type) from the CMake cache."""
    cache = os.path.join(build_dir, "CMakeCache.txt")
    path = _first_line_after(cache, "CMAKE_CXX_COMPILER:FILEPATH=") or "c++"
    build_type = _first_line_after(cache, "CMAKE_BUILD_TYPE:STRING=") or ""
    flags = _first_line_after(cache, "CMAKE_CXX_FLAGS_%s:STRING=" % build_type.upper()) if build_type else ""
    try:
        version = subprocess.run([path, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        version = path
    return version, build_type, flags or ""


def machine(context, build_dir):
    """Rows describing the machine and the run."""
    cpu = _first_line_after("/proc/cpuinfo", "model name\t:") or platform.processor() or "unknown"
    memory = _first_line_after("/proc/meminfo", "MemTotal:")
    version, build_type, flags = compiler(build_dir)
    load = context.get("load_avg", [])
    return [
        ["processors (nproc)", str(os.cpu_count())],
        ["CPU", "%s, %s MHz" % (cpu, context.get("mhz_per_cpu", "?"))],
        ["memory", "%.0f GiB" % (int(memory.split()[0]) / 1024 / 1024) if memory else "unknown"],
        ["kernel", platform.release()],
        ["compiler", "%s, %s (%s)" % (version, build_type or "?", flags or "default flags")],
        ["Google Benchmark library", "%s build" % context.get("library_build_type", "?")],
        ["load average at the start", ", ".join("%.2f" % x for x in load) if load else "?"],
        ["run", context.get("date", datetime.datetime.now().isoformat())],
    ]
