-- Unbounded recursion stops at the depth limit (Lua itself says "stack overflow").
local function down(n) return 1 + down(n + 1) end
print("start")
print(down(1))
