# bench/run's table: one row per figure of the suite's JSON output, with the
# ratio to its reference measured in the same run where there is one
def r(x): if x == null then "-" else ((x * 100 | round) / 100 | tostring) end;
def r4(x): if x == null then "-" else ((x * 10000 | round) / 10000 | tostring) end;
def mib(x): if x == null then null else x / 1048576 end;
def ns(b): if b.time_unit == "ns" then b.real_time elif b.time_unit == "us" then b.real_time * 1e3
           elif b.time_unit == "ms" then b.real_time * 1e6 else b.real_time * 1e9 end;
def cpu(b): if b.time_unit == "ns" then b.cpu_time elif b.time_unit == "us" then b.cpu_time * 1e3
            elif b.time_unit == "ms" then b.cpu_time * 1e6 else b.cpu_time * 1e9 end;
def arg(b; k): (b.name | capture(k + ":(?<v>[0-9]+)").v);
def row(a; b; c; d; e): "| " + a + " | " + b + " | " + c + " | " + d + " | " + e + " |";

[.benchmarks[] | select(.run_type != "aggregate")] as $all
| ($all | map(select(.error_occurred != true))) as $ok
| ($ok | map(select(.name | startswith("BM_Sha512Reference"))) | .[0].bytes_per_second | mib(.)) as $sha
| [.benchmarks[] | select(.run_type == "aggregate" and .aggregate_name == "median"
                          and (.name | startswith("BM_WorkerPassMetrics/")))] as $metrics
| ($metrics | map(select(.name | startswith("BM_WorkerPassMetrics/scrape:0"))) | .[0]) as $quiet
| row("figure"; "value"; "unit"; "ratio to reference"; "more"),
  "| --- | ---: | --- | --- | --- |",
  ($all[] | select(.error_occurred == true) | row(.name; "-"; "-"; "-"; "skipped: " + .error_message)),
  ($ok[] | select(.name | startswith("BM_WorkerPass/"))
   | row("worker pass, " + arg(.; "lifs") + " LIFs, " + arg(.; "ports") + " ports, " + arg(.; "counters")
         + " counters, no export"; r(ns(.)); "ns"; "-";
         r(.ns_per_counter * 1e9) + " ns per object x counter, " + r(.allocs_per_pass) + " allocations per pass")),
  ($ok[] | select(.name | startswith("BM_TelemetryLineBuild/"))
   | row("build a line, " + (if arg(.; "event") == "1" then "event" else "stats" end) + ", "
         + arg(.; "counters") + " counters"; r(ns(.)); "ns"; "-";
         r(.bytes) + " bytes, " + r(.allocs_per_line) + " allocations per line")),
  ($ok[] | select(.name | startswith("BM_TelemetryLineWrite/"))
   | row("build, write and flush a line, " + (if arg(.; "event") == "1" then "event" else "stats" end) + ", "
         + arg(.; "counters") + " counters"; r(ns(.)); "ns"; "-";
         r(.writes_per_line) + " write calls, " + r(.allocs_per_line) + " allocations per line")),
  ($ok[] | select(.name | startswith("BM_IpcRequest/"))
   | row("IPC request and response, " + (if arg(.; "transport") == "2" then "fwctl" else "character device" end);
         r(ns(.) / 1e3); "us"; "-"; "DEVICE_INFO, 388-byte answer")),
  ($ok[] | select(.name | startswith("BM_FirmwareUpdate64MiB"))
   | row("firmware update, 64 MiB (erase, writes, verify)"; r(mib(.bytes_per_second)); "MiB/s";
         (if $sha then r(100 * mib(.bytes_per_second) / $sha) + " % of SHA-512" else "-" end);
         r(.chunks) + " write chunks, " + r(ns(.) / 1e6) + " ms")),
  ($ok[] | select(.name | startswith("BM_Sha512Reference"))
   | row("SHA-512 of the same 64 MiB (calculate_sha512_hash)"; r(mib(.bytes_per_second)); "MiB/s"; "reference"; "-")),
  ($ok[] | select(.name | startswith("BM_CardSha512"))
   | row("SHA-512 of the emulated card's verify (cardsim_sha512)"; r(mib(.bytes_per_second)); "MiB/s";
         (if $sha then r(100 * mib(.bytes_per_second) / $sha) + " % of SHA-512" else "-" end); "-")),
  ($ok[] | select(.name | startswith("BM_WorkerSchedule/"))
   | (["spin", "sleep", "tickless"][arg(.; "wait") | tonumber]) as $m
   | (["host as it is", "beside busy processes", "real-time priority"][arg(.; "setting") | tonumber]) as $l
   | row("worker schedule, " + $m + ", " + $l + ": CPU per card"; r4(.cpu_pct); "% of one core"; "-";
         r(.wakeups_per_s) + " wake-ups/s, " + r4(.sys_pct) + " % in the kernel, " + r(.polls) + " polls, "
         + r(.missed) + " instants without a poll"),
     row("worker schedule, " + $m + ", " + $l + ": poll lateness median / p99 / max";
         r(.late_p50_us) + " / " + r(.late_p99_us) + " / " + r(.late_max_us); "us"; "-";
         "n-th poll against start + n x period"),
     row("worker schedule, " + $m + ", " + $l + ": mean period error, LIF (10 ms) / port (25 ms)";
         r4(.lif_period_err_pct) + " / " + r4(.port_period_err_pct); "%"; "-"; "-")),
  ($ok[] | select(.name | startswith("BM_DaemonIdle/"))
   | (["spin", "sleep", "tickless"][arg(.; "wait") | tonumber]) as $m
   | row("whole daemon, " + arg(.; "cards") + " cards, polls every " + arg(.; "interval_ms") + " ms, " + $m + ": CPU";
         r4(.cpu_pct); "% of one core"; "-";
         r(.polls_per_s) + " polls/s, " + r(.us_per_poll) + " us CPU per poll, " + r(.wakeups_per_s) + " wake-ups/s, "
         + r4(.sys_pct) + " % in the kernel; LIF lines (worst of " + r(.lif_series) + " LIFs): mean period error "
         + r4(.period_err_pct) + " %, grid period error " + r4(.grid_err_pct) + " %, " + r(.folded) + " instants without a line")),
  ($metrics[]
   | (arg(.; "scrape") == "1") as $scraped
   | row("worker pass with metrics, 2 LIFs, 4 ports, 9 counters, " + (if $scraped then "while /metrics is scraped" else "no scrape" end)
         + ": CPU time of the worker (median of 3)";
         r(cpu(.)); "ns";
         (if $scraped and $quiet then r(cpu(.) / cpu($quiet)) + " x no scrape" elif $scraped then "-" else "reference" end);
         r(ns(.)) + " ns wall, " + r(.lines_per_pass) + " lines per pass"
         + (if $scraped then ", " + r(.scrapes) + " scrapes (" + r(.scrapes_per_s) + "/s), " + r(.failed_scrapes) + " failed"
            else ", " + r(.allocs_per_pass) + " allocations per pass" end))),
  ($ok[] | select(.name | startswith("BM_MetricsScrapeText/"))
   | row("text of one scrape, " + arg(.; "cards") + " cards of 32 LIFs and 4 ports"; r(ns(.) / 1e3); "us"; "-";
         r(.bytes) + " bytes")),
  ($ok[] | select(.name | startswith("BM_MetricsScrapeUnderLoad/"))
   | ({"0": "no other client", "1": "256 connections holding half a request", "2": "64 clients scraping in a loop"}
      [arg(.; "load")]) as $load
   | row("scrape of 2 cards of 32 LIFs and 4 ports over HTTP, " + $load + ": mean wall time"; r(ns(.) / 1e6); "ms"; "-";
         "max " + r(.max_ms) + " ms, " + r(.over_1s) + " over 1 s, " + r(.failed) + " failed"
         + (if arg(.; "load") == "2" then ", the others " + r(.other_scrapes_per_s) + " scrapes/s" else "" end)))
