# Start-up script of the Debian package (verdalix-init.tcl(5)): stores,
# groups, peers and sites, then AcceptConnections opens the port.
CreateArtStore 0 /var/spool/verdalix * 100 100
set groups {
    {local.general 0 1 y}
    {local.test    1 1 y}
}
set fresh [expr {![file exists /var/lib/verdalix/groups/active]}]
foreach group $groups {
    lassign $group name number slots post
    if {$fresh} {
        CreateGroup $name $number $slots $post 1
    } else {
        InsertGroup $name $number
    }
}
ActiveInit
# Readers and posters on this machine only; add peers and sites here.
AddIncoming 127.0.0.1
SetIncoming 127.0.0.1 rights 6
AcceptConnections
