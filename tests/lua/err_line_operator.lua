local t = {}
local ok, e = pcall(function() return t.x
  .y end)
print(e)
ok, e = pcall(function() return t
  < 1 end)
print(e)
ok, e = pcall(function() return {}
  .. "x" end)
print(e)
local a
local b = a
  + 1
