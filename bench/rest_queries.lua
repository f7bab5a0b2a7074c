-- wrk script: GET TARGET with %s replaced by a query, cycling through the queries of a file (one
-- per line), each connection starting at its own place in the list.
-- Environment: QUERIES (the file); TARGET (default "/index/<ARCHIVES>?q=%s", ARCHIVES default
-- "1").
local queries = {}
local target = os.getenv("TARGET") or ("/index/" .. (os.getenv("ARCHIVES") or "1") .. "?q=%s")
for line in io.lines(os.getenv("QUERIES")) do
    if line ~= "" then
        local encoded = line:gsub("[^%w%-_.~]", function(c)
            return string.format("%%%02X", string.byte(c))
        end)
        queries[#queries + 1] = target:gsub("%%s", function() return encoded end)
    end
end
local counter = 0
request = function()
    counter = counter + 1
    return wrk.format("GET", queries[(counter % #queries) + 1])
end
