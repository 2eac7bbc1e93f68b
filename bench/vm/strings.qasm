; String building: 8192 blocks of 20 lines (about 10 MB), each line one
; many-operand concatenation appended to its block, then the blocks joined
; pairwise level by level into one string, as strings.lua. Returns the
; string; the runner reports its length.
    NEWTABLE 0, 0, 0            ; parts
    LOADNUM 1, 0                ; b
    LOADCONST 2, #8192
    LOADNUM 3, 1
    JUMP tb
bb: LOADCONST 4, ""             ; s
    LOADNUM 5, 0                ; i
    LOADNUM 6, 20
    LOADNUM 7, 1
    JUMP ti
bi: MOVE 8, 4
    LOADCONST 9, "line "
    MOVE 10, 5
    LOADCONST 11, " of block "
    MOVE 12, 1
    LOADCONST 13, ": the quick brown fox jumps over the lazy dog\n"
    CONCAT 4, 8, 13
ti: FORLOOP 5, bi
    SETTABLE 0, 1, 4
tb: FORLOOP 1, bb
    LOADCONST 14, #8192         ; n
    LOADNUM 1, 0                ; level
    LOADNUM 2, 13
    LOADNUM 3, 1
    JUMP tl
bl: INTDIV 15, 14, #2           ; m
    LOADNUM 5, 0
    MOVE 6, 15
    LOADNUM 7, 1
    JUMP tm
bm: MUL 8, 5, #2
    SUB 9, 8, #1
    GETTABLE 10, 0, 9
    GETTABLE 11, 0, 8
    CONCAT 12, 10, 11
    SETTABLE 0, 5, 12
tm: FORLOOP 5, bm
    MOVE 14, 15
tl: FORLOOP 1, bl
    GETTABLE 4, 0, #1
    RETURN 4, 2
