#!/usr/bin/perl
# Prints the record numbers of an NTX or NDX index in the order Debian's
# Perl XBase module walks it, one a line.
#   read_xbase_index.pl FILE char|num
use strict;
use warnings;
use XBase::Index;

my ($file, $type) = @ARGV;
my $index = XBase::Index->new($file, type => ($type eq 'num' ? 'N' : 'C'))
  or die XBase::Index->errstr;
$index->prepare_select or die $index->errstr;
while (my @data = $index->fetch()) {
  print "$data[1]\n";
}
