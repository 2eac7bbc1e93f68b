-- Numeric loop: 10^8 steps adding the counter.
local s = 0
for i = 1, 100000000 do
  s = s + i
end
return s
