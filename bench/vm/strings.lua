-- String building: 8192 blocks of 20 lines (about 10 MB), each line one
-- many-operand concatenation appended to its block, then the blocks joined
-- pairwise level by level into one string.
local parts = {}
for b = 1, 8192 do
  local s = ""
  for i = 1, 20 do
    s = s .. "line " .. i .. " of block " .. b .. ": the quick brown fox jumps over the lazy dog\n"
  end
  parts[b] = s
end
local n = 8192
for level = 1, 13 do
  local m = math.floor(n / 2)
  for i = 1, m do
    parts[i] = parts[2 * i - 1] .. parts[2 * i]
  end
  n = m
end
return #parts[1]
