-- Recursive calls: fib(32) through a local (upvalue) function.
local function fib(n)
  if n < 2 then return n end
  return fib(n - 1) + fib(n - 2)
end
return fib(32)
