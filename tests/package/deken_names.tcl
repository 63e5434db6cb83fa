# Reads a package's file name with the code of Pd's own package manager:
#   tclsh deken_names.tcl PLUGIN DEK VERSION [INTO]
# PLUGIN is deken-plugin.tcl, or the pd_deken.tcl built into Pd 0.55 or
# 0.57; it is loaded with the few bits of Pd's GUI it touches stubbed out.
# With INTO, DEK is the package's path and the same code also unpacks it
# into that folder, as its install does. Prints "PASS ..." / "FAIL ..." lines.
lassign $argv plugin dek version into

foreach p {pdwindow pd_menucommands pd_guiprefs} { package provide $p 0.1 }
namespace eval ::pdwindow {
    proc post args {}
    proc debug args {}
    proc error args {}
    proc verbose args {}
}
proc .menubar.help args {}
# What Pd 0.57's pd_deken.tcl touches besides: its window's packages, key
# bindings, the Pd window's menu (none here, and no window exists) and its
# fatal message, and translated strings with arguments to fill in.
foreach p {scrollboxwindow scrollbox} { package provide $p 0.1 }
namespace eval ::pdwindow { proc fatal args {} }
proc bind args {}
proc winfo args { return 0 }
proc .pdwindow {args} { return .pdwindow.menu }
proc .pdwindow.menu {args} { return -1 }
proc _ {s args} { expr {[llength $args] ? [format $s {*}$args] : $s} }
set ::current_plugin_loadpath ""
source $plugin

proc check {ok what} {
    puts [expr {$ok ? "PASS" : "FAIL"}]\ $what
}

lassign [::deken::utilities::parse_filename [file tail $dek]] name got_version archs
check [expr {$name eq "Veltrix"}] "package name '$name'"
check [expr {$got_version eq $version}] "version '$got_version'"
set want {Linux-amd64-32 Linux-amd64-64 Linux-arm64-32 Linux-armv6-32 Linux-armv7-32 Windows-i386-32
          Windows-amd64-32 Windows-amd64-64 Darwin-arm64-32 Darwin-amd64-32
          Darwin-arm64-64 Darwin-amd64-64}
check [expr {[lsort $archs] eq [lsort $want]}] "platforms: $archs"

# Pd tells the plugin its platform as os, cpu, pointer bits and float size.
# Tcl's own names (armv7l, i686) are what an older Pd leaves it with.
set offered {
    {Linux amd64 64 32} {Linux amd64 64 64} {Linux arm64 64 32} {Linux armv6 32 32}
    {Linux armv6l 32 32} {Linux armv7 32 32} {Linux armv7l 32 32} {Windows amd64 64 32}
    {Windows amd64 64 64} {Windows i386 32 32}
    {Windows i686 32 32}
    {Darwin arm64 64 32} {Darwin amd64 64 32} {Darwin arm64 64 64} {Darwin amd64 64 64}
    {Darwin x86_64 64 32}
}
# No module for these: offering the package would install one that cannot load.
set refused {{Linux arm64 64 64} {Linux i386 32 32} {Darwin i386 32 32}}
foreach platform $offered {
    ::deken::set_platform {*}$platform
    check [::deken::architecture_match $archs] "offered to a Pd on $platform"
}
foreach platform $refused {
    ::deken::set_platform {*}$platform
    check [expr {![::deken::architecture_match $archs]}] "not offered to a Pd on $platform"
}

if {$into ne ""} {
    proc ::deken::post args {}
    proc ::deken::statuspost args {}
    file mkdir $into
    set ok [::deken::utilities::extract $into [file tail $dek] [file normalize $dek] 1]
    set modules [lmap f {linux-amd64-32.so linux-amd64-64.so} {
        file isfile [file join $into Veltrix Veltrix.$f]
    }]
    check [expr {$ok && $modules eq {1 1}}] "unpacked into $into/Veltrix"
}
