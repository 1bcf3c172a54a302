#!/usr/bin/perl
# Prints a dBase table as Debian's Perl XBase module reads it: one line per
# record in file order, "L" or "D", then one tab-separated token per field,
# the hex of the value's bytes ("-" for an undefined value).
use strict;
use warnings;
use XBase;

my $table = new XBase name => $ARGV[0] or die XBase->errstr;
for my $i (0 .. $table->last_record) {
    my ($deleted, @values) = $table->get_record($i);
    die $table->errstr unless defined $deleted;
    print join("\t", $deleted ? "D" : "L",
               map { defined $_ ? unpack("H*", $_) : "-" } @values), "\n";
}
