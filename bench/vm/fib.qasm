; Recursive calls: fib(32) through a self-referencing upvalue, as fib.lua.
.function fib
.params 1
.upvalues 1
    LT 0, 0, #2
    JUMP big
    RETURN 0, 2
big: GETUPVAL 1, 0
    SUB 2, 0, #1
    CALL 1, 2, 2
    GETUPVAL 2, 0
    SUB 3, 0, #2
    CALL 2, 2, 2
    ADD 1, 1, 2
    RETURN 1, 2
.end
    CLOSURE 0, fib
    MOVE 0, 0
    MOVE 1, 0
    LOADNUM 2, 32
    CALL 1, 2, 2
    RETURN 1, 2
