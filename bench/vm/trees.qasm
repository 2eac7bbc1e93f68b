; Binary trees: a stretch tree of depth 15, a long-lived tree of depth 14,
; then 2^(18 - d) trees of each depth d = 4, 6, ..., 14, each built and
; counted and dropped, as trees.lua. A node is made as compiled code makes
; the list {left, right}: NEWTABLE sized for two items, then SETLIST, which
; stores them under keys 0 and 1. A leaf's children are 0 (false).
.function bottomup
.params 1
.upvalues 1
    LT 0, #0, 0                 ; depth > 0: make a node
    JUMP leaf
    SUB 0, 0, #1
    GETUPVAL 1, 0
    MOVE 2, 0
    CALL 1, 2, 2                ; left
    GETUPVAL 2, 0
    MOVE 3, 0
    CALL 2, 2, 2                ; right
    MOVE 4, 1
    MOVE 5, 2
    NEWTABLE 3, 2, 0
    SETLIST 3, 1
    RETURN 3, 2
leaf: NEWTABLE 1, 2, 0
    LOADNUM 2, 0
    LOADNUM 3, 0
    SETLIST 1, 1
    RETURN 1, 2
.end
.function check
.params 1
.upvalues 1
    GETTABLE 1, 0, #0           ; left
    TESTSET 1, 1, 0             ; a leaf has no left child
    JUMP leaf
    GETUPVAL 2, 0
    MOVE 3, 1
    CALL 2, 2, 2
    GETUPVAL 3, 0
    GETTABLE 4, 0, #1
    CALL 3, 2, 2
    ADD 2, 2, #1
    ADD 2, 2, 3
    RETURN 2, 2
leaf: LOADNUM 1, 1
    RETURN 1, 2
.end
    CLOSURE 0, bottomup
    MOVE 0, 0
    CLOSURE 1, check
    MOVE 0, 1
    MOVE 2, 1                   ; total = check(bottomup(15))
    MOVE 3, 0
    LOADNUM 4, 15
    CALL 3, 2, 2
    CALL 2, 2, 2
    MOVE 3, 0                   ; the long-lived tree
    LOADNUM 4, 14
    CALL 3, 2, 2
    LOADNUM 4, 2                ; depth = 4, 6, ..., 14
    LOADNUM 5, 14
    LOADNUM 6, 2
    JUMP dtest
dbody: SUB 7, #18, 4
    POW 7, #2, 7                ; iterations
    LOADNUM 8, 0
    MOVE 9, 7
    LOADNUM 10, 1
    JUMP itest
ibody: MOVE 11, 1
    MOVE 12, 0
    MOVE 13, 4
    CALL 12, 2, 2
    CALL 11, 2, 2
    ADD 2, 2, 11
itest: FORLOOP 8, ibody
dtest: FORLOOP 4, dbody
    MOVE 7, 1
    MOVE 8, 3
    CALL 7, 2, 2
    ADD 2, 2, 7
    RETURN 2, 2
