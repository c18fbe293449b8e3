-- wrk script: HTTPS POST bodies as a page sends them (request=<form-encoded JSON request>), with a
-- task id unique to every request, and one machine-readable result line at the end.
--
--   wrk -t1 -c16 -d10s -s bench/wrk/post.lua https://127.0.0.1:4441/ -- [pad_bytes] [expect]
--
-- pad_bytes: size of the "data" member (default 64). expect: text every reply body must contain;
-- replies without it are counted as misses (checking bodies costs wrk some speed, so leave it out
-- for the baseline).

local threads = {}

function setup(thread)
   thread:set("tid", #threads)
   table.insert(threads, thread)
end

local function form_encode(s)
   s = s:gsub("[^%w%-_%.%* ]", function(c) return string.format("%%%02X", string.byte(c)) end)
   return (s:gsub(" ", "+"))
end

function init(args)
   pad = string.rep("x", tonumber(args[1] or "64"))
   expect = args[2]
   counter = 0
   misses = 0
   bad = 0
   wrk.method = "POST"
   wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
   wrk.headers["Origin"] = "https://bench.localhost"
   if expect ~= nil and expect ~= "" then
      response = function(status, headers, body)
         if status ~= 200 then
            bad = bad + 1
         elseif not string.find(body, expect, 1, true) then
            misses = misses + 1
         end
      end
   end
end

function request()
   counter = counter + 1
   local json = '{"id":"w' .. tid .. '-' .. counter .. '","tabid":"bench","cmd":"sign",' ..
      '"origin":"https://bench.localhost","callback":"onReply","module":"sample","data":"' .. pad .. '"}'
   return wrk.format(nil, nil, nil, "request=" .. form_encode(json))
end

function done(summary, latency, requests)
   local m, b = 0, 0
   for _, t in ipairs(threads) do
      m = m + (t:get("misses") or 0)
      b = b + (t:get("bad") or 0)
   end
   local e = summary.errors
   local errors = e.connect + e.read + e.write + e.status + b
   local secs = summary.duration / 1e6
   io.write(string.format(
      "mode=wrk completed=%d errors=%d timeouts=%d expect_misses=%d elapsed_s=%.3f rps=%.1f " ..
      "mean_us=%.1f p50_us=%.1f p90_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f\n",
      summary.requests, errors, e.timeout, m, secs, summary.requests / secs,
      latency.mean, latency:percentile(50), latency:percentile(90), latency:percentile(99),
      latency:percentile(99.9), latency.max))
end
