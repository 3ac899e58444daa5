"""The budgets and the verdicts on them: pure functions of the figures.

Deterministic budgets (instructions per Read, allocations, benchmarks that
ran without failed requests) are fatal; timed ones are reported, never
fatal, and marked when the machine was loaded."""

ROUND_TRIP_BUDGET = 1.05    # median round trip, x the floor's
LINE_BUDGET = 0.995         # polls per second at 115200, x the floor's
CONSOLE_AIM = 0.99          # polls per second with the console page open, x without (an aim: it fails nothing)
CRC_BUDGET = 1.0            # the driver's CRC on 16-byte blocks, x Boost.CRC's
SCAN_BUDGET = 0.99          # each channel's scan rate, x its wire limit
DRIVER_CPU_BUDGET = 0.05    # the host threads' CPU, x one core
SCALE_CHANNELS = 99         # the channel count both scale budgets apply to
EXCEPTION_SLACK_MS = 2.0    # exception latency p99, beyond one wait tick

# The verdict rows whose results are times.
TIMED = ("1 round trip", "4 CRC", "5 line efficiency", "6 scan rate", "6 driver CPU", "7 exception latency")


def word(held):
    return "holds" if held else ("**misses**" if held is False else "n/a")


class Verdicts:
    """The budget table's rows, the fatal failures and the key figures
    (label, text) that --summary-out and --before compare."""

    def __init__(self):
        self.rows = []
        self.fatal = []
        self.figures = []

    def key(self, label, text):
        self.figures.append((label, text))

    def add(self, figure, result, budget, held, fatal=False):
        self.rows.append((figure, result, budget, word(held)))
        if fatal and held is False:
            self.fatal.append("%s: %s (budget %s)" % (figure, result, budget))
        return word(held)

    def mark_loaded(self):
        self.rows = [(f, r, b, w + (" (loaded machine)" if f in TIMED else "")) for f, r, b, w in self.rows]


def round_trip_holds(ratio):
    return ratio <= ROUND_TRIP_BUDGET


def instruction_limit(budget):
    return budget["instructions_per_read"] * (1 + budget["margin"])


def crc_holds(ratio):
    return ratio >= CRC_BUDGET


def line_holds(versus_floor):
    return versus_floor >= LINE_BUDGET


def console_aim_met(console_share):
    return console_share >= CONSOLE_AIM


def scan_holds(share_min):
    return share_min >= SCAN_BUDGET


def driver_cpu_holds(core_share):
    return core_share <= DRIVER_CPU_BUDGET


def exception_holds(p99_ms, tick_ms, failures):
    return p99_ms <= tick_ms + EXCEPTION_SLACK_MS and failures == 0


def heap_verdict(allocations):
    """allocations: {kind: (per request, TZ set)}. (held, driver_clean): held
    when nothing allocates; driver_clean when at most the status and logged
    event fetches allocate with TZ unset (glibc's mktime, not the driver)."""
    libc_only = {"fetch_status", "fetch_logged"}
    held = all(count == 0 for count, _ in allocations.values())
    clean = all(count == 0 or (kind in libc_only and not tz_set) for kind, (count, tz_set) in allocations.items())
    return held, clean


def loaded_machine(load, cpus):
    """A run counts as taken on a loaded machine when the load average at
    its start was above half the processors."""
    return bool(load) and load[0] > 0.5 * cpus


def run_failures(runs):
    """Fatal lines for benchmarks that did not run or had failed requests."""
    lines = ["%s did not run: %s" % (name, r.get("error_message", "")) for name, r in runs.items()
             if r.get("error_occurred")]
    lines += ["%s: %d failed requests" % (name, r["failures"]) for name, r in runs.items()
              if r.get("failures", 0) > 0]
    return lines
