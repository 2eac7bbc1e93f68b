; Files and a saved table. A table is written to a new temporary file with
; WriteTable, read back from it with ReadTable, and its fields are printed
; on the console and shown in the 320x120 window. The temporary file is
; deleted when the player ends. The run ends a second later.
;
; In script terms:
;   name = GetTempFileName()
;   OpenFile(1, name, #MODE_WRITE)
;   WriteTable(1, {title = "Quillmere", count = 3})
;   CloseFile(1)
;   OpenFile(1, name)
;   t = ReadTable(1)
;   CloseFile(1)
;   ConsolePrint("Read back:", t.title, t.count)
;   TextOut(16, 50, "Read back from the file: " .. t.title)
;   Wait(1, #SECONDS)
.applet title "Quillmere files"
.applet versionstring "$VER: Files 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:120
.applet section 5 be32:0x204020
.line 1
GETGLOBAL 0, "gettempfilename"
CALL 0, 1, 2
MOVE 10, 0              ; name
.line 2
GETGLOBAL 0, "openfile"
LOADNUM 1, 1
MOVE 2, 10
LOADCONST 3, #MODE_WRITE
CALL 0, 4, 1
.line 3
NEWTABLE 12, 0, 2
SETTABLE 12, "title", "Quillmere"
LOADNUM 13, 3
SETTABLE 12, "count", 13
GETGLOBAL 0, "writetable"
LOADNUM 1, 1
MOVE 2, 12
CALL 0, 3, 1
.line 4
GETGLOBAL 0, "closefile"
LOADNUM 1, 1
CALL 0, 2, 1
.line 5
GETGLOBAL 0, "openfile"
LOADNUM 1, 1
MOVE 2, 10
CALL 0, 3, 1
.line 6
GETGLOBAL 0, "readtable"
LOADNUM 1, 1
CALL 0, 2, 2
MOVE 11, 0              ; t
.line 7
GETGLOBAL 0, "closefile"
LOADNUM 1, 1
CALL 0, 2, 1
.line 8
GETTABLE 13, 11, "title"
GETTABLE 14, 11, "count"
GETGLOBAL 0, "consoleprint"
LOADCONST 1, "Read back:"
MOVE 2, 13
MOVE 3, 14
CALL 0, 4, 1
.line 9
LOADCONST 15, "Read back from the file: "
MOVE 16, 13
CONCAT 3, 15, 16
GETGLOBAL 0, "textout"
LOADNUM 1, 16
LOADNUM 2, 50
CALL 0, 4, 1
.line 10
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
RETURN 0, 1, 0
