print("runs before")
do
  goto skip
  local hidden = 1
  ::skip::
  print(hidden)
end
