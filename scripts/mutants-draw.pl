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
#   dropped     a statement of a line of its own made an empty block: a call
#               (a push_back among them), an assignment, an increment, a
#               continue or a break
#   variable    a variable read or written in place of another of the same
#               declared type: a parameter or local of the same function,
#               declared before the line
#   field       a field in place of a sibling of the same type in the same
#               struct, where the field's name belongs to one struct only
# The last two are cheap guesses from the text, not a compiler's view: a
# variable of an inner block may be out of scope where it is swapped in,
# and such a fault does not build and is dropped.
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

# Code of a line: strings, characters and trailing comments blanked out
# (same length, so columns still match the real line).
sub code_of {
    my ($line) = @_;
    my $code = $line;
    $code =~ s{("(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')}{'_' x length $1}ge;
    $code =~ s{//.*$}{' ' x length $&}e;
    return $code;
}

# A declared type as the swaps compare it: no const, no reference, no blanks.
sub type_key {
    my ($type) = @_;
    $type =~ s/\bconst\b|&//g;
    $type =~ s/\s+//g;
    return $type;
}

my $type_re = qr{(?:(?:const|unsigned|signed|static|constexpr)\s+)*[A-Za-z_][\w:]*(?:<[^;=(){}]*>)?(?:\s*(?:\*|&|const\b))*};
my %not_a_type = map { $_ => 1 } qw(return delete case goto else using typedef throw new struct class enum
                                    public private protected friend operator sizeof);

# The fields of every struct, for the field kind: name -> [struct, type key].
my (%field_owner, %struct_fields);  # field -> { struct => type }; struct -> { type -> [fields] }
for my $file (@files) {
    open my $in, '<', $file or die "$file: $!\n";
    my @open;  # [indent, name] of the structs around the line
    my $anonymous = 0;
    while (my $line = <$in>) {
        chomp $line;
        $line =~ s/\r$//;
        if ($line =~ /^(\s*)(?:typedef\s+)?(?:struct|class)\s*(\w*)[^;()]*\{\s*$/) {
            push @open, [length $1, $2 ne '' ? $2 : "$file#" . ++$anonymous];
            next;
        }
        next unless @open;
        if ($line =~ /^(\s*)\}/ && length $1 == $open[-1][0]) { pop @open; next; }
        next unless $line =~ /^(\s*)/ && length $1 == $open[-1][0] + 4;
        my $code = code_of($line);
        next unless $code =~ /^\s*($type_re)\s+(\w+)\s*(\[[^\]]*\])?\s*(?:=|;|\{)/;
        my ($type, $name, $array) = ($1, $2, $3 // '');
        next if $not_a_type{(split /\s+/, $type)[0]} || $type =~ /^(?:static|constexpr)\b/;
        my $key = type_key($type) . $array;
        $field_owner{$name}{ $open[-1][1] } = $key;
        push @{ $struct_fields{ $open[-1][1] }{$key} }, $name;
    }
    close $in;
}

for my $file (@files) {
    open my $in, '<', $file or die "$file: $!\n";
    my $lineno = 0;
    my $in_comment = 0;
    my $previous_end = '{';  # how the code line before ends
    my %local;               # the function's parameters and locals: name -> type key
    my $signature;           # a function's head while it is read
    while (my $line = <$in>) {
        ++$lineno;
        chomp $line;
        $line =~ s/\r$//;
        if ($in_comment) { $in_comment = 0 if $line =~ m{\*/}; next; }
        if ($line =~ m{^\s*/\*}) { $in_comment = 1 unless $line =~ m{\*/}; next; }
        next if $line =~ m{^\s*(//|#|\*)};
        next if $line =~ /\bstatic_assert\b|\bnamespace\b|\btemplate\b/;
        my $code = code_of($line);
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
        # A new function (or anything else) at the left margin: its head
        # names the parameters, read once it is whole.
        if ($code =~ /^[A-Za-z_]/) {
            %local = ();
            $signature = '';
        }
        my $in_head = defined $signature;  # a name here is declared, not used
        if (defined $signature) {
            $signature .= " $code";
            if ($code =~ /[{;]\s*$/) {
                if ($signature =~ /\(/) {
                    my $open = index($signature, '(');
                    my $close = group_end($signature, $open);
                    if (defined $close) {
                        my ($depth, $piece, @params) = (0, '');
                        for my $c (split //, substr($signature, $open + 1, $close - $open - 1)) {
                            ++$depth if $c =~ /[(<\[{]/;
                            --$depth if $c =~ /[)>\]}]/;
                            if ($c eq ',' && $depth == 0) { push @params, $piece; $piece = ''; } else { $piece .= $c; }
                        }
                        push @params, $piece;
                        for my $param (@params) {
                            $param =~ s/=.*$//;
                            next unless $param =~ /^\s*($type_re)\s*\b(\w+)\s*(\[[^\]]*\])?\s*$/;
                            my ($type, $name) = ($1, $2);
                            next if $type =~ /^\s*(?:const\s*)?$/ || $type =~ /\bauto\b/;
                            $local{$name} = type_key($type) . ($3 // '');
                        }
                    }
                }
                undef $signature;
            }
        }

        my $trimmed_code = $code;
        $trimmed_code =~ s/^\s+|\s+$//g;
        # A statement that is a line of its own, after one that ended.
        if ($previous_end =~ /^(?:[;{}):]|else)$/ && $code =~ /^\s+\S/ && $trimmed_code =~ /;$/
            && ($trimmed_code =~ tr/(//) == ($trimmed_code =~ tr/)//)) {
            my $first = $trimmed_code =~ /^(\w+)/ ? $1 : '';
            my $drop = 0;
            if ($trimmed_code =~ /^(?:continue|break);$/) { $drop = 1; }
            elsif ($trimmed_code =~ /^(?:\+\+|--)[\w.\->\[\]]+;$/ || $trimmed_code =~ /^[\w.\->\[\]]+(?:\+\+|--);$/) { $drop = 1; }
            elsif ($trimmed_code =~ /^\*?[A-Za-z_][\w.\->\[\]()]*\s*(?:[-+*\/%&|^]|<<|>>)?=(?!=)/) { $drop = 1; }
            elsif ($trimmed_code =~ /^(?:[A-Za-z_]\w*(?:::|\.|->))*[A-Za-z_]\w*(?:\(\))?(?:(?:\.|->)[A-Za-z_]\w*)*\s*\(.*\)\s*;$/
                   && $first !~ /^(?:return|if|while|for|switch|sizeof|delete|case|do|else|throw|static_cast|reinterpret_cast|const_cast|DiagTrace)$/) {
                $drop = 1;
            }
            add('dropped', $file, $lineno, $trimmed, '{}') if $drop;
        }
        $previous_end = $trimmed_code =~ /\belse$/ ? 'else' : substr($trimmed_code, -1) if $trimmed_code ne '';

        # Declarations on this line: each name and where it stands, so that
        # the name being declared is not swapped itself.
        my %declared_at;
        if ($code =~ /^\s+($type_re)\s+(\w+)\s*(\[[^\]]*\])?\s*(?:=(?!=)|;|\{|,)/
            || $code =~ /\bfor\s*\(\s*($type_re)\s+(\w+)\s*(\[[^\]]*\])?\s*(?:=(?!=)|:)/) {
            my ($type, $name, $array, $at) = ($1, $2, $3 // '', $-[2]);
            unless ($not_a_type{(split /\s+/, $type)[0]} || $type =~ /\bauto\b/) {
                my $key = type_key($type) . $array;
                $declared_at{$at} = 1;
                my @later;
                # Further names of a plain declaration: "int a = 0, b = 0;".
                if ($code !~ /\(/) {
                    while ($code =~ /,\s*(\w+)\s*(?=[=;,])/g) { $declared_at{ $-[1] } = 1; push @later, $1; }
                }
                $local{$_} = $key for $name, @later;
            }
        }
        # Each variable of the function used here, in place of another of
        # its type declared before.
        while (!$in_head && $code =~ /(?<![\w.:>])(?<!->)([A-Za-z_]\w*)\b/g) {
            my ($name, $at) = ($1, $-[1]);
            next if $declared_at{$at} || !defined $local{$name};
            my @others = sort grep { $_ ne $name && $local{$_} eq $local{$name} } keys %local;
            next unless @others;
            $site->('variable', $at, length $name, $others[int rand @others]);
        }
        # Each field of one struct only, in place of a sibling of its type.
        while (!$in_head && $code =~ /(?:\.|->)\s*([A-Za-z_]\w*)\b(?!\s*\()/g) {
            my ($name, $at) = ($1, $-[1]);
            my $owners = $field_owner{$name};
            next unless $owners && keys %$owners == 1;
            my ($struct) = keys %$owners;
            my @others = grep { $_ ne $name } @{ $struct_fields{$struct}{ $owners->{$struct} } };
            next unless @others;
            $site->('field', $at, length $name, $others[int rand @others]);
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
