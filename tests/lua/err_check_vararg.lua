print("runs before")
local function f(...)
  return function() return ... end
end
