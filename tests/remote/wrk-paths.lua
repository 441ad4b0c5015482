-- wrk over a list of request paths: a file of one path a line, named after
-- wrk's "--" (wrk -s wrk-paths.lua URL -- PATHS). Each thread walks the list
-- from a place of its own. At the end, one line for a program to read:
--   RESULT requests not-2xx connect read write timeouts seconds p50-ms p99-ms
-- "not-2xx" counts every answer outside 200-299 (wrk's own count takes 4xx
-- and 5xx only); connect, read, write and timeouts are wrk's socket errors.
local threads = {}

function setup(thread)
  thread:set("id", #threads)
  table.insert(threads, thread)
end

function init(args)
  paths = {}
  for line in io.lines(args[1]) do
    if line ~= "" then table.insert(paths, line) end
  end
  counter = id * 7
  failed = 0
end

function request()
  counter = counter + 1
  return wrk.format("GET", paths[counter % #paths + 1])
end

function response(status, headers, body)
  if status < 200 or status > 299 then failed = failed + 1 end
end

function done(summary, latency, requests)
  local notOk = 0
  for _, thread in ipairs(threads) do notOk = notOk + thread:get("failed") end
  local e = summary.errors
  io.write(string.format("RESULT %d %d %d %d %d %d %.3f %.3f %.3f\n", summary.requests, notOk,
    e.connect, e.read, e.write, e.timeout, summary.duration / 1e6,
    latency:percentile(50) / 1e3, latency:percentile(99) / 1e3))
end
