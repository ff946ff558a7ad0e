#!/usr/bin/perl
# Draws one-line faults at random from the sources named on the command line,
# for scripts/mutants.sh --draw: every place where one of the kinds below
# fits is a candidate, and the candidates are printed in a random order fixed
# by the seed, as entries of the fault list's format (with the line named).
# The caller plants them in that order and keeps the ones that build.
#
# Usage: scripts/mutants-draw.pl SEED COUNT FILE...   (the first COUNT of the order)
#
# Kinds (each as likely as the others, then every place of the kind alike):
#   relational  a comparison turned: < >=, > <=, == !=, <= <, >= >
#   arithmetic  an operator swapped: + -, * /, % *, << >>, & |, ^ &
#   constant    a number one more or one less
#   negated     an if or while condition negated
#   success     a return of failure made a return of success (false to
#               true, a named code or a nonzero number to 0)
#   ignored     a call tested by an if made all the same, its result ignored
#               (the branch is never taken)
use strict;
use warnings;
no warnings 'portable';  # 64-bit constants

my ($seed, $count, @files) = @ARGV;
die "usage: mutants-draw.pl SEED COUNT FILE...\n"
    unless defined $count && $seed =~ /^\d+$/ && $count =~ /^\d+$/ && @files;
srand($seed);

my %sites;  # kind -> [ [file, line, from, to], ... ]

sub add { my ($kind, @site) = @_; push @{ $sites{$kind} }, \@site; }

# The text of a parenthesised group opening at $open (the "(" itself), or
# undef when it does not close on the line.
sub group_end {
    my ($text, $open) = @_;
    my $depth = 0;
    for (my $i = $open; $i < length $text; ++$i) {
        my $c = substr($text, $i, 1);
        ++$depth if $c eq '(';
        if ($c eq ')') { --$depth; return $i if $depth == 0; }
    }
    return undef;
}

for my $file (@files) {
    open my $in, '<', $file or die "$file: $!\n";
    my $lineno = 0;
    my $in_comment = 0;
    while (my $line = <$in>) {
        ++$lineno;
        chomp $line;
        $line =~ s/\r$//;
        if ($in_comment) { $in_comment = 0 if $line =~ m{\*/}; next; }
        if ($line =~ m{^\s*/\*}) { $in_comment = 1 unless $line =~ m{\*/}; next; }
        next if $line =~ m{^\s*(//|#|\*)};
        next if $line =~ /\bstatic_assert\b|\bnamespace\b|\btemplate\b/;
        # Only code: strings, characters and trailing comments blanked out
        # (same length, so columns still match the real line).
        my $code = $line;
        $code =~ s{("(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')}{'_' x length $1}ge;
        $code =~ s{//.*$}{' ' x length $&}e;
        my $trimmed = $line;
        $trimmed =~ s/^\s+|\s+$//g;

        # A change at column $at of $len characters into $new, as a whole-line
        # from/to pair.
        my $site = sub {
            my ($kind, $at, $len, $new) = @_;
            my $changed = $line;
            substr($changed, $at, $len) = $new;
            $changed =~ s/^\s+|\s+$//g;
            add($kind, $file, $lineno, $trimmed, $changed) if $changed ne $trimmed;
        };

        my %relational = ('<' => '>=', '>' => '<=', '==' => '!=', '!=' => '==', '<=' => '<', '>=' => '>');
        while ($code =~ / (<=|>=|==|!=|<|>) /g) {
            $site->('relational', $-[1], length $1, $relational{$1});
        }
        my %arithmetic = ('+' => '-', '-' => '+', '*' => '/', '/' => '*', '%' => '*',
                          '<<' => '>>', '>>' => '<<', '&' => '|', '|' => '&', '^' => '&');
        while ($code =~ / (<<|>>|[-+*\/%&|^]) /g) {
            $site->('arithmetic', $-[1], length $1, $arithmetic{$1});
        }
        while ($code =~ /(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uU]?[lL]{0,2})(?![\w.])/g) {
            my ($text, $at) = ($1, $-[1]);
            my $octal = $text =~ /^0[0-7]+$/;
            my $value = $text =~ /^0[xX]/ || $octal ? oct $text : $text;
            my $new = $value == 0 || rand() < 0.5 ? $value + 1 : $value - 1;
            $new = sprintf($text =~ /^0X/ ? '0X%X' : $text =~ /[A-F]/ ? '0x%X' : '0x%x', $new)
                if $text =~ /^0[xX]/;
            $new = sprintf('0%o', $new) if $octal;
            $site->('constant', $at, length $text, $new);
        }
        while ($code =~ /\b(if|while) \(/g) {
            my $open = $+[0] - 1;
            my $close = group_end($code, $open);
            next unless defined $close;
            my $cond = substr($line, $open + 1, $close - $open - 1);
            my $bare = substr($code, $open + 1, $close - $open - 1);
            # No declarations in a condition.
            next if $bare =~ /^\s*$/ || $bare =~ /;/ || $bare =~ /^\s*(?:const\s+)?[\w:]+[\s*&]+\w+\s*=(?!=)/;
            $site->('negated', $open + 1, length $cond, "!($cond)");
            # A call whose result alone decides the branch (its truth, or
            # its comparison with a code), made all the same.
            if ($bare =~ /^\s*!?\s*(?:\w+::)*[A-Z]\w*\(/) {
                my $call = index($bare, '(');
                my $end = group_end($bare, $call);
                my $rest = defined $end ? substr($bare, $end + 1) : 'x';
                $site->('ignored', $open + 1, length $cond, "(static_cast<void>($cond), false)")
                    if $rest =~ /^\s*(?:[!=]=\s*[\w:]+\s*)?$/;
            }
        }
        if ($code =~ /\breturn\s+([^;]+);/) {
            my ($value, $at) = ($1, $-[1]);
            my $new;
            if ($value eq 'false') { $new = 'true'; }
            elsif ($value =~ /^-?[1-9]\d*[uU]?$/ || $value =~ /^0[xX]0*[1-9a-fA-F][0-9a-fA-F]*[uU]?$/) { $new = '0'; }
            elsif ($value =~ /^(?:\w+::)*k[A-Z]\w*$/ && $value !~ /Ok$|None$|Nothing$/) { $new = '0'; }
            $site->('success', $at, length $value, $new) if defined $new;
        }
    }
    close $in;
}

my @kinds = grep { @{ $sites{$_} } } sort keys %sites;
die "mutants-draw.pl: nothing to draw\n" unless @kinds;
# Kinds drawn round-robin in a shuffled order, each kind's sites shuffled.
my %queue;
for my $kind (@kinds) {
    my @s = @{ $sites{$kind} };
    for (my $i = $#s; $i > 0; --$i) { my $j = int rand($i + 1); @s[$i, $j] = @s[$j, $i]; }
    $queue{$kind} = \@s;
}
my $n = 0;
print "# Drawn with seed $seed from ", scalar(@files), " files: ",
    join(', ', map { "$_ " . scalar @{ $sites{$_} } } @kinds), " places.\n";
while ($n < $count) {
    my @left = grep { @{ $queue{$_} } } @kinds;
    last unless @left;
    my $kind = $left[int rand @left];
    my ($file, $line, $from, $to) = @{ shift @{ $queue{$kind} } };
    ++$n;
    (my $short = $file) =~ s{^src/}{};
    $short =~ s{[/.]}{-}g;
    printf "\nfault: %03d-%s-%s-%d\nfile: %s\nline: %d\nfrom: %s\nto: %s\n", $n, $kind, $short, $line, $file, $line, $from, $to;
}
