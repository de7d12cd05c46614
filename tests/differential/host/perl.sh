# Perl: sysread, syswrite, buffered print, a status line, file tests.
perl -e '
open(my $w, ">", "/proc/marnel/enqueue") or die "open: $!";
print "syswrite: ", syswrite($w, "00000011"), "\n";
my $r = syswrite($w, "123");
print "syswrite of 3 bytes: ", (defined $r ? $r : "$!"), "\n";
print $w "00000012";
close($w) or print "close: $!\n";
open(my $d, "<", "/proc/marnel/dequeue") or die;
my $b = "";
my $n = sysread($d, $b, 11);
print "sysread: $n, length ", length($b), "\n";
open(my $s, "<", "/proc/marnel/status") or die;
my $first = <$s>;
print "status: $first";
print "-e ", (-e "/proc/marnel/enqueue" ? 1 : 0), " -d ", (-d "/proc/marnel" ? 1 : 0),
    " -f ", (-f "/proc/marnel/status" ? 1 : 0), "\n";
opendir(my $dir, "/proc/marnel") or die;
print join(" ", sort grep { !/^\./ } readdir $dir), "\n";
'
