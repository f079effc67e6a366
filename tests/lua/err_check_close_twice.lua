print("runs before")
local t = setmetatable({}, {__close = print})
local a <close>, b <close> = t, t
