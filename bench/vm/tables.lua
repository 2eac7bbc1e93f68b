-- Tables: 10^6 inserts and reads by integer key into one growing table,
-- then 10^6 inserts and reads by string key (1000 fresh tables of 1000 keys).
local t = {}
for i = 1, 1000000 do t[i] = i end
local s = 0
for i = 1, 1000000 do s = s + t[i] end
local keys = {}
for j = 1, 1000 do keys[j] = "key" .. j end
for r = 1, 1000 do
  local h = {}
  for j = 1, 1000 do h[keys[j]] = j end
  for j = 1, 1000 do s = s + h[keys[j]] end
end
return s
