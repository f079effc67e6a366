-- Small programs: a sieve, sorting, a queue, memoised recursion, a serializer, string building.
local function sieve(n)
  local composite, primes = {}, {}
  for i = 2, n do
    if not composite[i] then
      primes[#primes + 1] = i
      for j = i * i, n, i do composite[j] = true end
    end
  end
  return primes
end
local p = sieve(100)
print(#p, p[1], p[#p], table.concat(p, " ", 1, 10))

local function quicksort(t, lo, hi)
  lo = lo or 1
  hi = hi or #t
  if lo < hi then
    local pivot, i = t[hi], lo - 1
    for j = lo, hi - 1 do
      if t[j] <= pivot then i = i + 1; t[i], t[j] = t[j], t[i] end
    end
    t[i + 1], t[hi] = t[hi], t[i + 1]
    quicksort(t, lo, i)
    quicksort(t, i + 2, hi)
  end
  return t
end
print(table.concat(quicksort({9, 3, 7, 1, 8, 2, 6, 5, 4, 0}), ","))

local Queue = {}
Queue.__index = Queue
function Queue.new() return setmetatable({first = 1, last = 0, items = {}}, Queue) end
function Queue:push(v) self.last = self.last + 1; self.items[self.last] = v end
function Queue:pop()
  if self.first > self.last then return nil end
  local v = self.items[self.first]
  self.items[self.first] = nil
  self.first = self.first + 1
  return v
end
function Queue:size() return self.last - self.first + 1 end
local q = Queue.new()
for i = 1, 5 do q:push(i * i) end
print(q:pop(), q:pop(), q:size())

local memo = {}
local function ways(n)
  if n <= 1 then return 1 end
  if memo[n] then return memo[n] end
  local r = ways(n - 1) + ways(n - 2)
  memo[n] = r
  return r
end
print(ways(80), ways(90))

local function serialize(v, indent)
  indent = indent or ""
  if type(v) == "table" then
    local keys = {}
    for k in pairs(v) do keys[#keys + 1] = k end
    table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
    local out = {}
    for _, k in ipairs(keys) do
      out[#out + 1] = indent .. "  " .. tostring(k) .. " = " .. serialize(v[k], indent .. "  ")
    end
    return "{\n" .. table.concat(out, ",\n") .. "\n" .. indent .. "}"
  elseif type(v) == "string" then
    return string.format("%q", v)
  end
  return tostring(v)
end
print(serialize({name = "lua", version = 5.4, tags = {"fast", "small"}, nested = {ok = true}}))

local function words(s)
  local out, cur = {}, ""
  for i = 1, #s do
    local c = s:sub(i, i)
    if c == " " then
      if #cur > 0 then out[#out + 1] = cur end
      cur = ""
    else
      cur = cur .. c
    end
  end
  if #cur > 0 then out[#out + 1] = cur end
  return out
end
local w = words("  the quick  brown fox ")
print(#w, table.concat(w, "|"), string.rep("=", #w * 3))

local function gcd(a, b) while b ~= 0 do a, b = b, a % b end return a end
print(gcd(48, 18), gcd(17, 5), gcd(2^40, 2^20), 48 // gcd(48, 18) * 18)

local counts = {}
for _, c in ipairs({"a", "b", "a", "c", "b", "a"}) do counts[c] = (counts[c] or 0) + 1 end
print(counts.a, counts.b, counts.c, counts.d)
