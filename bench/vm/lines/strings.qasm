; strings.qasm with the source lines of strings.lua, for measuring line hooks.
.line 4
    NEWTABLE 0, 0, 0            ; parts
.line 5
    LOADNUM 1, 0                ; b
    LOADCONST 2, #8192
    LOADNUM 3, 1
    JUMP tb
.line 6
bb: LOADCONST 4, ""             ; s
.line 7
    LOADNUM 5, 0                ; i
    LOADNUM 6, 20
    LOADNUM 7, 1
    JUMP ti
.line 8
bi: MOVE 8, 4
    LOADCONST 9, "line "
    MOVE 10, 5
    LOADCONST 11, " of block "
    MOVE 12, 1
    LOADCONST 13, ": the quick brown fox jumps over the lazy dog\n"
    CONCAT 4, 8, 13
.line 7
ti: FORLOOP 5, bi
.line 10
    SETTABLE 0, 1, 4
.line 5
tb: FORLOOP 1, bb
.line 12
    LOADCONST 14, #8192         ; n
.line 13
    LOADNUM 1, 0                ; level
    LOADNUM 2, 13
    LOADNUM 3, 1
    JUMP tl
.line 14
bl: INTDIV 15, 14, #2           ; m
.line 15
    LOADNUM 5, 0
    MOVE 6, 15
    LOADNUM 7, 1
    JUMP tm
.line 16
bm: MUL 8, 5, #2
    SUB 9, 8, #1
    GETTABLE 10, 0, 9
    GETTABLE 11, 0, 8
    CONCAT 12, 10, 11
    SETTABLE 0, 5, 12
.line 15
tm: FORLOOP 5, bm
.line 18
    MOVE 14, 15
.line 13
tl: FORLOOP 1, bl
.line 20
    GETTABLE 4, 0, #1
    RETURN 4, 2
