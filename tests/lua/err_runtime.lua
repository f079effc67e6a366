-- An uncaught runtime error: Lua's wording, the position, and the calls that led there.
local function area(shape)
  return shape.width * shape.height
end
local function total(shapes)
  local sum = 0
  for _, s in ipairs(shapes) do sum = sum + area(s) end
  return sum
end
print(total({{width = 2, height = 3}}))
print(total({{width = 2, height = 3}, {width = 4}}))
print("not reached")
