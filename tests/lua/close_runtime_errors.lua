-- a runtime error of the language itself (not error()) passed to __close, then to pcall
local function closing(tag)
  return setmetatable({}, {__close = function(o, e) print("closing", tag, e) end})
end
print(pcall(function()
  local x <close> = closing("step")
  for i = 1, 10, 0 do end
end))
print(pcall(function()
  local x <close> = closing("index")
  local t = nil
  return t.field
end))
print(pcall(function()
  local a <close> = closing("outer")
  local b <close> = closing("inner")
  return #nil
end))
