print("runs before")
local function use(v)
  local handle <close> = v
  return 1
end
print(use(nil))
print(use({}))
