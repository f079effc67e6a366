print("runs before")
local function f()
  if true then break end
  return 1
end
print(f())
