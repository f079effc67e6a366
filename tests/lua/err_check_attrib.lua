print("runs before")
local x <static> = 1
