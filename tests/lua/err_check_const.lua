print("runs before")
local settings <const> = {}
settings.x = 1
local function f()
  settings = nil
end
