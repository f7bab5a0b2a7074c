-- wrk script: GET /index/<archives>?q=<query>, cycling through the queries of a file (one per
-- line), each connection starting at its own place in the list.
-- Environment: QUERIES (the file), ARCHIVES (default "1").
local queries = {}
local archives = os.getenv("ARCHIVES") or "1"
for line in io.lines(os.getenv("QUERIES")) do
    if line ~= "" then
        local encoded = line:gsub("[^%w%-_.~]", function(c)
            return string.format("%%%02X", string.byte(c))
        end)
        queries[#queries + 1] = "/index/" .. archives .. "?q=" .. encoded
    end
end
local counter = 0
request = function()
    counter = counter + 1
    return wrk.format("GET", queries[(counter % #queries) + 1])
end
