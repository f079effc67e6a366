-- A function for Python to call: Program.call("steps", n) and Program.map("steps", items).
-- steps(n) counts the steps of the Collatz sequence from n down to 1.
function steps(n)
  local count = 0
  while n ~= 1 do
    if n % 2 == 0 then n = n // 2 else n = 3 * n + 1 end
    count = count + 1
  end
  return count
end

-- longest(limit) gives the start below limit with the most steps, and that number of steps.
function longest(limit)
  local best, best_steps = 1, 0
  for n = 1, limit - 1 do
    local s = steps(n)
    if s > best_steps then best, best_steps = n, s end
  end
  return best, best_steps
end

print(steps(27), longest(1000))
