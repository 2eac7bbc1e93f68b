-- Binary trees: a stretch tree of depth 15, a long-lived tree of depth 14,
-- then 2^(18 - d) trees of each depth d = 4, 6, ..., 14, each built and
-- counted and dropped; every node is a table {left, right}, a leaf's
-- children are false. Returns the sum of all node counts.
local function bottomUp(depth)
  if depth > 0 then
    depth = depth - 1
    return {bottomUp(depth), bottomUp(depth)}
  end
  return {false, false}
end
local function check(tree)
  local left = tree[1]
  if left then return 1 + check(left) + check(tree[2]) end
  return 1
end
local mindepth, maxdepth = 4, 14
local total = check(bottomUp(maxdepth + 1))
local longlived = bottomUp(maxdepth)
for depth = mindepth, maxdepth, 2 do
  local iterations = 2 ^ (maxdepth - depth + mindepth)
  for i = 1, iterations do total = total + check(bottomUp(depth)) end
end
return total + check(longlived)
