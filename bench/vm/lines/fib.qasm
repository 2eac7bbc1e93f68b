; fib.qasm with the source lines of fib.lua, for measuring line hooks.
.function fib
.params 1
.upvalues 1
.line 3
    LT 0, 0, #2
    JUMP big
    RETURN 0, 2
.line 4
big: GETUPVAL 1, 0
    SUB 2, 0, #1
    CALL 1, 2, 2
    GETUPVAL 2, 0
    SUB 3, 0, #2
    CALL 2, 2, 2
    ADD 1, 1, 2
    RETURN 1, 2
.end
.line 2
    CLOSURE 0, fib
    MOVE 0, 0
.line 6
    MOVE 1, 0
    LOADNUM 2, 32
    CALL 1, 2, 2
    RETURN 1, 2
