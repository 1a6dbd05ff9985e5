#!/usr/bin/perl
# Writes a gzipped manual page for PROGRAM with help2man, from the program's own --help, so the
# page cannot drift from what the program says.
#   mkman.pl OUT.gz PROGRAM INCLUDE.h2m [--commands] [help2man options...]
# --commands: PROGRAM has commands (mv604-cli); the page gets a COMMANDS section made from
# "PROGRAM --help" (the command list) and "PROGRAM COMMAND --help" (each one's options and
# arguments), and an EXIT STATUS section from its "Exit codes:" sentence.
use strict;
use warnings;
use File::Basename qw(basename dirname);
use File::Spec;
use File::Temp qw(tempdir);

my ($out, $program, $include, @help2man) = @ARGV;
die "usage: mkman.pl OUT.gz PROGRAM INCLUDE.h2m [--commands] [help2man options...]\n"
  unless defined $include;
my $commands = grep { $_ eq '--commands' } @help2man;
@help2man = grep { $_ ne '--commands' } @help2man;

# help2man calls the program by name, so that usage lines say "mv604-cli", not a build path.
my $name = basename($program);
$ENV{PATH} = File::Spec->rel2abs(dirname($program)) . ":$ENV{PATH}";
# In a sanitizer build the program is instrumented; Qt's exit-time allocations are no news here.
$ENV{ASAN_OPTIONS} = join ':', grep { length } ($ENV{ASAN_OPTIONS} // ''), 'detect_leaks=0';
delete $ENV{LD_PRELOAD};

sub help {
    my $text = qx($name @_ --help 2>&1);
    die "mkman.pl: '$name @_ --help' failed\n" if $?;
    return split /\n/, $text;
}

# *roff text of one line of --help.
sub roff {
    my ($text) = @_;
    $text =~ s/\\/\\e/g;
    $text =~ s/-/\\-/g;
    $text =~ s/^([.'])/\\&$1/;
    return $text;
}

# The rows of the block under HEADING ("Options:", "Arguments:"): [term, description].
sub rows {
    my ($heading, @lines) = @_;
    my (@rows, $in);
    for (@lines) {
        if (/^\S.*:$/) { $in = ($_ eq $heading); next; }
        next unless $in;
        last if /^$/;
        if (/^  (\S.*?)(?:\s{2,}(\S.*))?$/) { push @rows, [$1, $2 // '']; }
        elsif (/^\s+(\S.*)$/ && @rows) { $rows[-1][1] .= " $1"; }
    }
    return @rows;
}

sub first_blank {
    my @lines = @_;
    for my $i (0 .. $#lines) { return $i if $lines[$i] eq q(); }
    return scalar @lines;
}

sub tp {
    my ($term, $description) = @_;
    $term = join '', map { /^-/ ? '\fB' . roff($_) . '\fR' : roff($_) } split /(\s+|,)/, $term;
    return ".TP\n$term\n" . roff($description) . "\n";
}

my $tmp = tempdir(CLEANUP => 1);
my @includes = ('--include', $include);
if ($commands) {
    my @top = help();
    my (@description, @list, @notes, $part);
    $part = 'description';
    for my $line (@top[1 .. $#top]) {
        if ($line eq 'Commands:') { $part = 'commands'; next; }
        if ($line =~ /^\S.*:$/) { $part = 'rest'; next; }
        if ($part eq 'description') { push @description, $line if length $line; }
        elsif ($part eq 'commands') {
            if ($line eq '') { $part = 'notes'; }
            elsif ($line =~ /^  ([a-z][\w-]*)/) { push @list, $1; }
        }
        elsif ($part eq 'notes') { push @notes, $line if length $line; }
    }
    die "mkman.pl: no commands in '$name --help'\n" unless @list;
    my %common = map { $_->[0] => 1 } rows('Options:', @top);

    my $h2m = "[=DESCRIPTION]\n" . join("\n", map { roff($_) } @description) . "\n";
    $h2m .= ".PP\n" . join("\n", map { roff($_) } @notes) . "\n" if @notes;
    $h2m .= ".SH COMMANDS\n";
    for my $command (@list) {
        my @help = help($command);
        my ($usage) = map { /^Usage: \S+\s*(.*)$/ ? $1 : () } @help;
        my @about = grep { length } map { /^Usage:/ ? () : $_ } @help[0 .. (first_blank(@help) - 1)];
        $h2m .= '.SS "' . roff("$command " . ($usage // '')) . "\"\n";
        $h2m .= join("\n", map { roff($_) } @about) . "\n";
        $h2m .= tp(@$_) for grep { !$common{$_->[0]} } rows('Options:', @help);
        $h2m .= tp(@$_) for rows('Arguments:', @help);
    }
    if ("@notes" =~ /Exit codes?: (.*?)\.(?:\s|$)/) {
        $h2m .= "[EXIT STATUS]\n";
        my @codes = split /,\s*/, $1;
        $h2m .= tp(@$_) for map { /^(\d+)\s+(.*)$/ ? [$1, $2] : () } @codes;
    }
    my $generated = "$tmp/commands.h2m";
    open my $fh, '>', $generated or die "$generated: $!\n";
    print $fh $h2m;
    close $fh;
    push @includes, '--include', $generated;
}

my $page = "$tmp/$name.1";
system('help2man', '--no-info', @includes, @help2man, '--output', $page, $name) == 0
  or die "mkman.pl: help2man failed for $name\n";
system("gzip -9n -c '$page' > '$out'") == 0 or die "mkman.pl: gzip failed\n";
