print("runs before")
--[==[ a long comment
that is never closed ]]
print(1)
