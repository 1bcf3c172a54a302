#!/usr/bin/perl
# Prints the record numbers of an index tag in the order Debian's Perl
# XBase module walks it, one a line.
#   read_xbase_index.pl FILE char|num [TAG]
# TAG names the tag of a compound or multiple index (CDX, MDX); NTX and
# NDX files have one and take none.
use strict;
use warnings;
use XBase::Index;

my ($file, $type, $tag) = @ARGV;
my %options = (type => ($type eq 'num' ? 'N' : 'C'));
$options{tag} = $tag if defined $tag && length $tag;
my $index = XBase::Index->new($file, %options)
  or die XBase::Index->errstr;
$index->prepare_select or die $index->errstr;
while (my @data = $index->fetch()) {
  print "$data[1]\n";
}
